#ifndef MUSICCLOCK_H
#define MUSICCLOCK_H

#include "monotonic.h"

#include <QtGlobal>

#include <array>
#include <deque>

// Times are nanoseconds of the monotonic clock (monotonicNowNs()); music positions are nanoseconds
// of music.

// What a playing sound device holds at the least right after a request, whatever its driver
// (ns of music): SDL's first requests need not show it. Measured in docs/sync.md.
constexpr qint64 leastDeviceQueueNs = 35'000'000;

// How far the music has been heard, estimated from the times at which the sound device asks for
// buffers and how much music each held (SDL 1.2 tells nothing else), less the device's queue and
// any delay the sound server reports. It holds while the device waits or gets silence, runs on
// the monotonic clock without sound, and makes up small errors smoothly, never going backwards.
// docs/sync.md says why and with what figures.
class MusicClock
{
public:
    static constexpr qint64 waitLimitNs = 3'000'000'000; // longest wait for a silent device
    static constexpr qint64 lookaheadNs = 20'000'000; // how far ahead of now a frame may be shown
    static constexpr qint64 largestQueueNs = 1'000'000'000; // no sound path buffers more
    static constexpr qint64 snapNs = 200'000'000; // lags larger than this are made up at once
    static constexpr qint64 aheadLimitNs = 5'000'000; // how far the clock may run past the estimate

    explicit MusicClock(qint64 bytesPerSecond);

    // The device was started at `timeNs`: music 0 has not been heard yet.
    void start(qint64 timeNs) { restart(timeNs, 0); }
    // A device was started at `timeNs` to play the music from `positionNs` on (ns of music, as
    // heardAt() counts it): a new stream, whose queue is measured anew.
    void restart(qint64 timeNs, qint64 positionNs);
    // There is no device: the music "plays" on the monotonic clock from `timeNs`.
    void startSilent(qint64 timeNs);
    // The device was lost at `timeNs`: the music "plays" on from where it stood.
    void loseSound(qint64 timeNs);
    // The device asked for a buffer of `bytes` bytes at `timeNs` (times in order), of which the
    // first `musicPartBytes` are music and the rest silence.
    void bufferRequested(qint64 timeNs, qint64 bytes, qint64 musicPartBytes);
    void bufferRequested(qint64 timeNs, qint64 bytes) { bufferRequested(timeNs, bytes, bytes); }
    // The music lasts `bytes` bytes (-1: not known).
    void setMusicLength(qint64 bytes);
    // The device is taken to hold at least `queueNs` of music when full, whether or not its first
    // requests show it (see leastDeviceQueueNs).
    void setLeastQueueNs(qint64 queueNs) { leastQueueNs = queueNs; }
    // The sound library holds `heldNs` of music that a sound server does not see nor report
    // (libraryUnreportedNs()).
    void setUnreportedNs(qint64 heldNs) { unreportedNs = heldNs; }
    // The sound server reported at `timeNs` that music handed over is heard `latencyNs` later, on
    // its sink `sink` (ServerLatency); or, `sinkOnly`, that its sink delays what it is given by
    // `latencyNs`, not saying what the stream holds.
    void serverLatencyReported(qint64 timeNs, qint64 latencyNs, quint32 sink,
                               bool sinkOnly = false);

    // Music heard by `timeNs` (ns of music): never less than the last answer.
    qint64 heardAt(qint64 timeNs);
    // Has the whole music been heard by `timeNs` (without sound: has the clock run the music's
    // length)? False while its length is not known. Asks the estimate, not the smoothed clock the
    // picture follows.
    bool finishedAt(qint64 timeNs);

    // Is the sound device playing the music (not waiting for it to start, nor without sound)?
    bool soundPlaying() const { return state == State::Playing; }
    // Is the clock running without sound while music was left to play?
    bool soundLost() const
    {
        return state == State::Silent && (lengthNs < 0 || silentHeardNs < lengthNs);
    }

    // Bytes of music to ns and back, exact to the byte at any length.
    qint64 musicNs(qint64 bytes) const;
    qint64 musicBytes(qint64 ns) const;

private:
    enum class State { NotStarted, Waiting, Playing, Silent };

    // A stretch of music without silence in the stream handed to the device: from the stream's
    // byte streamBytes on, the music from musicBytes (since the device started) on, for
    // lengthBytes. Counted in bytes, so that a stretch ends exactly where its music does.
    struct Stretch
    {
        qint64 streamBytes, musicBytes, lengthBytes;
    };

    // Where the music stands at `timeNs` by the requests so far, before smoothing.
    qint64 estimateAt(qint64 timeNs);
    // The music at stream position `streamNs` of the device.
    qint64 musicAtStream(qint64 streamNs) const;
    // No sound from `fromNs` on; the clock stands at `positionNs` then, and music position
    // `heardNs` was the last heard.
    void fallSilent(qint64 fromNs, qint64 positionNs, qint64 heardNs);
    // The server's delay counted at `timeNs`, moved toward its target.
    qint64 serverDelayAt(qint64 timeNs);

    const qint64 bytesPerSecond;
    State state = State::NotStarted;
    qint64 firstRequestNs = -1;
    qint64 lastRequestNs = -1;
    qint64 startNs = 0; // where in the music the device started
    qint64 handedBytes = 0; // sound handed over to the device so far, music and silence
    qint64 musicHandedBytes = 0; // music handed over since the device started
    std::deque<Stretch> stretches; // the latest stretches of music handed over, oldest first
    qint64 queueNs = 0; // what the device holds when full
    qint64 leastQueueNs = 0;
    qint64 unreportedNs = 10'000'000;
    qint64 lastBufferNs = 0; // length of the last buffer
    qint64 anchorNs = 0; // the stream played at anchorTimeNs, by the last request (or the start)
    qint64 anchorTimeNs = 0;
    qint64 lengthNs = -1;

    qint64 playingSinceNs = -1;
    std::array<qint64, 5> serverLatenciesNs {}; // the last reports since the device played
    int serverReports = 0;
    quint32 serverSink = 0;
    qint64 serverDelayTargetNs = 0; // beyond the queue
    qint64 serverDelayNs = 0; // counted so far
    qint64 serverDelayAtNs = 0;

    // Without sound: the clock stood at silentPositionNs at silentFromNs.
    qint64 silentFromNs = 0;
    qint64 silentPositionNs = 0;
    qint64 silentHeardNs = 0; // the music heard by then

    qint64 answeredNs = 0; // the last answer of heardAt()
    qint64 answeredAtNs = -1; // and the time it was asked for
};

#endif // MUSICCLOCK_H
