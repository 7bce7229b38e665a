#ifndef MUSICPLAYBACK_H
#define MUSICPLAYBACK_H

#include "musicbuffer.h"
#include "musicclock.h"

#include <QString>

#include <atomic>
#include <memory>

// The sound device's buffer, which the callback fills at each request: 882 sample frames, 20 ms.
constexpr int deviceBufferFrames = musicRateHz / 50;

// Audio fill callback: copies the next len bytes of the music into stream (silence after its end,
// and where the music is not loaded yet), starts it over at its end when it loops, and notes the
// time and size of the request. `userdata` is the playback's stream.
void effect(void *userdata, unsigned char *stream, int len);

// The music streamed to the sound device by SDL's audio callback, and what the callback tells the
// GUI thread: when the device asks for sound.
class MusicPlayback
{
public:
    // Plays `music`, whose loading has started; when `loop` is set and the music can start over,
    // it does so at its end, without a gap, until the show ends.
    MusicPlayback(std::unique_ptr<MusicBuffer> music, bool loop);
    // Stops the callback, then closes the device if it still plays.
    ~MusicPlayback();

    const MusicBuffer &music() const { return *stream->music; }
    // Whether the music starts over at its end, as far as is known yet.
    bool loops() const { return stream->loop && stream->music->canStartOver(); }

    // Opens the sound device and starts the music at once; false, with SDL's reason, when there is
    // no device to be had.
    bool start(QString *error);
    // The show goes on without a device (none to be had, or none wanted): the music is read to
    // its end all the same, so that the show ends with it.
    void playWithoutDevice() { stream->music->playWithoutDevice(); }

    // GUI thread: hands every request not taken yet to take(timeNs, bytes), oldest first.
    template<typename Take> void takeRequests(Take take) { stream->requests.takeNew(take); }

private:
    friend void effect(void *userdata, unsigned char *stream, int len);

    // What the callback touches. It outlives the playback when the device cannot be closed.
    struct Stream
    {
        std::unique_ptr<MusicBuffer> music;
        bool loop = false;
        qint64 position = 0; // the next byte of the music to play (audio thread)
        bool ended = false; // the music has ended (audio thread)
        std::atomic<bool> stopped {false}; // no more music: only silence
        BufferLog requests;
    };

    Stream *stream;
    bool opened = false;
};

#endif // MUSICPLAYBACK_H
