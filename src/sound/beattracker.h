#ifndef BEATTRACKER_H
#define BEATTRACKER_H

#include "musicsource.h"

#include <QtGlobal>

#include <limits>
#include <memory>
#include <vector>

// The beats of a song as a listener taps them (the kick and the snare, 60 to 190 a minute), each on
// the onset of its hit, following tempo changes; none where the song has no steady beat. Chosen
// among aubio's onsets as the chain of hits that gains the most (docs/beats.md). The music is fed
// in the show's format, in order, in pieces of any size.
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
    // The same in ns from the music's start, those before frame `beforeFrames` only.
    std::vector<qint64> beatsNs(qint64 beforeFrames = std::numeric_limits<qint64>::max()) const;
    // The music fed so far, in sample frames.
    qint64 fedFrames() const { return fed; }

    static constexpr qint64 unsettledFrames = 15 * musicRateHz;
    // Sample frames to ns.
    static qint64 framesToNs(qint64 frames) { return frames * 1'000'000'000 / musicRateHz; }

private:
    struct Aubio;
    struct Hit
    {
        qint64 frame;
        float gainDb; // what it gains as a beat
    };

    void analyseHop();
    float loudnessDb(qint64 frame) const;
    std::vector<Hit> hits() const;
    static std::vector<qint64> chains(const std::vector<Hit> &hits);
    static std::vector<qint64> keepSteady(const std::vector<qint64> &beats);

    std::unique_ptr<Aubio> aubio;
    std::vector<float> hop; // the mono samples of the hop being filled
    qint64 fed = 0;
    std::vector<qint64> trackedBeats; // aubio's beats
    std::vector<qint64> onsets; // aubio's onsets
    std::vector<float> hopPower; // mean square of each hop
};

// Whether the scenes follow the beats of the music at `path`: any song but headerless PCM (the
// demo's own music, *.raw, pipes, whose score or lack of a whole song keeps the own timing),
// unless the own timing is asked for.
bool followsBeats(const QString &path, bool ownTiming);

#endif // BEATTRACKER_H
