#ifndef MUSICPLAYBACK_H
#define MUSICPLAYBACK_H

#include "bufferlog.h"
#include "musicbuffer.h"

#include <QString>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

// The sound device's buffer, which the callback fills at each request: 882 sample frames, 20 ms.
constexpr int deviceBufferFrames = musicRateHz / 50;

// What the SDL 1.2 in use holds of the music beyond what a sound server reports (ns), measured
// behind a network speaker: 5 to 10 ms with the classic library, 15 to 25 ms with sdl12-compat,
// whose SDL 2 keeps a buffer of its own.
qint64 libraryUnreportedNs();

// Call before any thread starts, since it sets the environment: SIGINT and SIGTERM end the
// program as the system does, whichever SDL 1.2 is loaded. SDL 2 under sdl12-compat would catch
// both once its audio starts, to post a quit event that nothing reads (sdl12-compat ignores
// SDL_INIT_NOPARACHUTE), and Ctrl-C, kill and a shutdown would leave the show playing.
void keepSystemSignals();

// Audio fill callback: copies the next len bytes of the music into stream, silence after its end
// and where it is not loaded yet, starts it over at its end when it loops, and notes the time and
// size of the request and the music in it. `userdata` is the playback's stream.
void effect(void *userdata, unsigned char *stream, int len);

// The music streamed to the sound device by SDL's audio callback; the device, opened on a thread
// of its own and opened anew when it is lost; and what both tell the GUI thread.
class MusicPlayback
{
public:
    static constexpr qint64 retryNs = 1'000'000'000; // how often a device is tried again

    // Plays `music`, whose loading has started; when `loop` is set and the music can start over,
    // it does so at its end, without a gap, until the show ends.
    MusicPlayback(std::unique_ptr<MusicBuffer> music, bool loop);
    // Stops the callback and the device's thread, then closes the device if it still plays.
    ~MusicPlayback();

    // Whether a playback ended leaving its device open or its thread inside SDL (waiting for a
    // server that does not answer). The process should then end without running the libraries'
    // destructors (std::_Exit), which could pull SDL from under them and change its exit status.
    static bool soundLeftRunning() { return soundLeft.load(std::memory_order_acquire); }

    // The song the device plays, or played last.
    const MusicBuffer &music() const { return *stream->current.load(std::memory_order_acquire); }
    // Whether the music starts over at its end, as far as is known yet.
    bool loops() const { return stream->loop && music().canStartOver(); }

    // GUI thread: `next`, its loading started, plays once the song playing ends, without a gap
    // between them (or where skip() cuts the song off). Returns the song queued before, if it had
    // not started, for the caller to delete.
    std::unique_ptr<MusicBuffer> queue(std::unique_ptr<MusicBuffer> next);
    bool hasQueued() const { return stream->queued.load(std::memory_order_acquire) != nullptr; }
    // GUI thread: the queued song starts now: at the device's next request where one plays;
    // otherwise at once, at `position` (bytes over all songs, as the clock counts them).
    void skip(qint64 position);
    // GUI thread: how many songs have started after the first, and where the latest one started
    // (bytes over all songs, as the clock counts them).
    quint64 songsStarted() const { return stream->songsStarted.load(std::memory_order_acquire); }
    qint64 latestSongStartBytes() const
    {
        return stream->latestSongStart.load(std::memory_order_relaxed);
    }
    // GUI thread: a song played to its end or cut off, for the caller to delete; null if none.
    std::unique_ptr<MusicBuffer> takeFinished();

    // Starts the device's thread, which opens the sound device, paused; and a new one every
    // `retryNs` while none could be opened or once the one open was lost (its server went away).
    void start();

    // GUI thread: what became of the device since the last call, oldest first; with the reason
    // for NotOpened (the first attempt's, from SDL) and Lost.
    enum class News { None, Opened, NotOpened, Lost };
    News takeNews(QString *reason);
    // GUI thread, after Opened: the device plays the music from byte `position` on (counted over
    // the passes of a loop, as the clock counts it).
    void playFrom(qint64 position);
    // GUI thread: the show has passed `position` while no device plays; a pipe reads on.
    void passedTo(qint64 position);

    // GUI thread: hands every request of the device playing not taken yet to
    // take(timeNs, bytes, musicBytes), oldest first; those of a lost device are dropped.
    template<typename Take> void takeRequests(Take take)
    {
        if (playing)
            stream->requests.takeNew(take);
        else
            stream->requests.takeNew([](qint64, qint64, qint64) {});
    }

    // What the callback and the device's thread share. It outlives the playback when the device
    // cannot be closed.
    struct Stream
    {
        ~Stream();
        // The songs, owned by the stream: the callback moves the queued one to `current` and
        // the current one to `playedOut` (unless one is still there), which the GUI thread takes.
        std::atomic<MusicBuffer *> current {nullptr};
        std::atomic<MusicBuffer *> queued {nullptr};
        std::atomic<MusicBuffer *> playedOut {nullptr};
        std::atomic<bool> skipping {false}; // the queued song starts at the next request
        std::atomic<quint64> songsStarted {0};
        std::atomic<qint64> latestSongStart {0};
        bool loop = false;
        // The audio thread's, or the GUI thread's under `lock` while no device plays
        qint64 position = 0; // the next byte of the song to play
        qint64 songStart = 0; // where the song starts, counted over all songs
        std::atomic<qint64> startAt {-1}; // where a device opened anew starts (-1: none)
        std::atomic<bool> stopped {false}; // no more music: only silence
        BufferLog requests;
        // The device's thread's and the GUI thread's, under `lock`
        std::mutex lock;
        std::condition_variable changed;
        bool quitting = false; // the show ends: the device is closed
        bool finished = false; // the device's thread is done
        bool leftOpen = false; // and left the device open (its callback may still be called)
        int opens = 0; // devices opened
        int losses = 0; // devices lost
        QString firstError; // why the first device could not be opened
        qint64 playFrom = -1; // where the device opened may start playing (-1: not yet)
        bool devicePlaying = false; // the callback may be called
    };

private:
    static std::atomic<bool> soundLeft;
    Stream *stream;
    std::thread device;
    // GUI thread's
    int opensSeen = 0, lossesSeen = 0;
    bool failureSeen = false;
    bool playing = false; // a device plays that has not been lost
};

#endif // MUSICPLAYBACK_H
