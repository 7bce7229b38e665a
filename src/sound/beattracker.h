#ifndef BEATTRACKER_H
#define BEATTRACKER_H

#include "musicsource.h"

#include <QtGlobal>

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

class MusicBuffer;
class QThread;

// The beats of a song as a listener taps them: the kick and the snare rather than the hi-hat's
// eighths, from 60 to 190 beats a minute, each on the onset of the hit it marks, following the
// tempo as it changes. Where the song has no steady beat (an intro, speech, an ambient pad) it
// has none.
//
// aubio's beat tracker gives a grid and its period, and aubio's onset detector the hits. The grid
// is halved, each point moved to the loudest hit near it, and then halved again for as long as
// its points come faster than 190 a minute or every other one is much quieter than its neighbours.
// Beats at an even pace stay, and each run of them is followed forwards and backwards over the
// hits that go on at its pace.
//
// The music is fed in the show's format, in order, in pieces of any size.
class BeatTracker
{
public:
    BeatTracker();
    ~BeatTracker();

    // Analyses the next `bytes` bytes of music (whole sample frames).
    void feed(const char *music, qint64 bytes);
    // The beats of the music fed so far, in sample frames from its start, ascending. Those of its
    // last 15 seconds may still change as more music comes.
    std::vector<qint64> beats() const;
    // The music fed so far, in sample frames.
    qint64 fedFrames() const { return fed; }

    static constexpr qint64 unsettledFrames = 15 * musicRateHz;

private:
    struct Aubio;
    struct Hit
    {
        qint64 frame;
        float loudnessDb;
        bool found; // on a hit, or only where one was expected
    };
    struct RawBeat
    {
        qint64 frame;
        double periodFrames;
    };

    void analyseHop();
    float loudnessDb(qint64 frame) const;
    Hit hitNear(double expected, double reach, float quietestDb = -99) const;
    std::vector<Hit> grid() const;
    static std::vector<Hit> chooseLevel(std::vector<Hit> beats);
    static std::vector<qint64> keepSteady(const std::vector<Hit> &beats);
    std::vector<qint64> followRuns(const std::vector<qint64> &steady) const;

    std::unique_ptr<Aubio> aubio;
    std::vector<float> hop; // the mono samples of the hop being filled
    qint64 fed = 0;
    std::vector<RawBeat> rawBeats; // aubio's beats, with its period at each
    std::vector<qint64> onsets; // aubio's onsets
    std::vector<float> hopPower; // mean square of each hop
};

// The beats of a song loaded whole into a MusicBuffer, found on a thread of its own at low
// priority as the song loads, ahead of the picture; read from any thread.
class BeatFinder
{
public:
    explicit BeatFinder(const MusicBuffer &music);
    // Stops the thread.
    ~BeatFinder();

    // Any thread: how often the beats found so far have been handed over (0: not yet).
    int handedOver() const { return handovers.load(std::memory_order_acquire); }
    // Any thread: the beats found so far (ns from the music's start, ascending), final before
    // `knownUntilNs` (the whole song once it has been analysed to its end).
    std::vector<qint64> beats(qint64 *knownUntilNs) const;

private:
    void run();
    void handOver(const BeatTracker &tracker, bool finished);

    const MusicBuffer &music;
    std::atomic<bool> stopping {false};
    std::atomic<int> handovers {0};
    mutable std::mutex handed;
    std::vector<qint64> beatsNs;
    qint64 knownNs = 0;
    std::unique_ptr<QThread> thread;
};

// Sample frames to ns.
inline qint64 framesToNs(qint64 frames)
{
    return frames * 1'000'000'000 / musicRateHz;
}

#endif // BEATTRACKER_H
