#ifndef MUSICPLAYBACK_H
#define MUSICPLAYBACK_H

#include "musicclock.h"

#include <QFile>
#include <QString>

#include <atomic>

// The format of "music.raw": headerless signed 16-bit little-endian PCM, interleaved stereo.
constexpr int musicRateHz = 44100; // sample frames per second
constexpr int musicChannels = 2;
constexpr int musicBytesPerFrame = 4; // one 16-bit sample per channel
constexpr int musicBytesPerSecond = musicRateHz * musicBytesPerFrame; // 176400

// Audio fill callback: copies the next len bytes of the music into stream (silence after its end)
// and notes the time and size of the request. `userdata` is the playback's stream.
void effect(void *userdata, unsigned char *stream, int len);

// A music file streamed to the sound device by SDL's audio callback, and what the callback tells
// the GUI thread: when the device asks for sound, and where the music ended.
class MusicPlayback
{
public:
    // Opens the music file (a relative name is looked up in the current folder).
    explicit MusicPlayback(const QString &fileName);
    // Stops the callback, then closes the device if it still plays.
    ~MusicPlayback();

    // The music's length in bytes as far as it is known before it plays: 0 without a file, -1
    // when only its end can tell (a pipe).
    qint64 knownLength() const;

    // Opens the sound device and starts the music at once; false, with SDL's reason, when there is
    // no device to be had.
    bool start(QString *error);
    // How much the device is taken to hold when full, whether or not its first requests show it
    // (bytes; 0 before start()).
    qint64 deviceQueueBytes() const { return queueBytes; }

    // GUI thread: hands every request not taken yet to take(timeNs, bytes), oldest first.
    template<typename Take> void takeRequests(Take take) { stream->requests.takeNew(take); }
    // GUI thread: the music's length in bytes once the callback has reached its end, else -1.
    qint64 musicEnd() const { return stream->requests.musicEnd(); }

private:
    friend void effect(void *userdata, unsigned char *stream, int len);

    // What the callback touches. It outlives the playback when the device cannot be closed.
    struct Stream
    {
        QFile music;
        qint64 read = 0; // bytes of music read so far (audio thread)
        bool ended = false; // the music has ended (audio thread)
        std::atomic<bool> stopped {false}; // no more reading: only silence
        BufferLog requests;
    };

    Stream *stream;
    bool opened = false;
    qint64 queueBytes = 0;
};

#endif // MUSICPLAYBACK_H
