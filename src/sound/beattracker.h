#ifndef BEATTRACKER_H
#define BEATTRACKER_H

#include "musicsource.h"

#include <QtGlobal>

#include <array>
#include <limits>
#include <memory>
#include <vector>

// The beats of a song as a listener taps them (60 to 200 a minute), on the beat rather than the
// off-beat, following tempo changes and found again after a break; none where the song has no
// clear beat or where its phase or level is unclear. aubio hears the music; the beats are the best
// path through its onsets at the song's local tempo (docs/beats.md). The music is fed in the
// show's format, in order, in pieces of any size; each piece costs work in proportion to its
// length, whatever the song's length.
class BeatTracker
{
public:
    BeatTracker();
    ~BeatTracker();

    // Analyses the next `bytes` bytes of music (whole sample frames).
    void feed(const char *music, qint64 bytes);
    // The beats of the music fed so far, in sample frames from its start, ascending. Those of its
    // last 15 seconds may still change as more music comes; those before never do.
    std::vector<qint64> beats() const;
    // The same in ns from the music's start, those before frame `beforeFrames` only.
    std::vector<qint64> beatsNs(qint64 beforeFrames = std::numeric_limits<qint64>::max()) const;
    // The music has ended: its last seconds are analysed too. Nothing more may be fed.
    void finish();
    // The music fed so far, in sample frames.
    qint64 fedFrames() const { return fed; }

    static constexpr qint64 unsettledFrames = 15 * musicRateHz;
    // Sample frames to ns.
    static qint64 framesToNs(qint64 frames) { return frames * 1'000'000'000 / musicRateHz; }

private:
    struct Aubio;
    class Biquad;
    struct Bands;
    static constexpr size_t bandCount = 3; // below 200 Hz, 200 to 2000 Hz, above 2000 Hz
    static constexpr qint64 envelopeFrames = 64; // 1.45 ms

    // How the beats of the path are judged, beat by beat: at which level, whether kept, and the
    // steps of those kept so far and of the runs at an even pace among them.
    struct Judgement
    {
        enum class Level { same, faster, slower } level = Level::same;
        bool keeping = false;
        size_t slowerParity = 0;
        size_t next = 0; // the first beat of the path not judged yet
        std::vector<size_t> clear; // steps of the beats kept
        size_t runStart = 0; // in `clear`: where the run at an even pace being followed begins
        size_t checked = 1; // in `clear`: the first beat not yet checked against that run
        std::vector<size_t> steady; // steps of the beats in runs that have ended
    };

    void listenToBands(float sample);
    void analyseHop();
    void emphasise();
    void estimateTempo();
    void decidePeriods();
    void findPaths();
    void settle();
    std::vector<size_t> path() const;
    void judge(const std::vector<size_t> &steps, size_t until, Judgement &judgement) const;
    void closeRuns(Judgement &judgement, bool ended) const;
    qint64 refined(size_t step) const;

    std::unique_ptr<Aubio> aubio;
    std::unique_ptr<Bands> bands;
    std::vector<float> hop; // the mono samples of the hop being filled
    qint64 fed = 0;
    // Each band's loudness per 64 sample frames, in half dB above -100 dB.
    std::vector<quint8> envelope;

    // Per step of the analysis (256 sample frames): how much sound starts there (mel bands), how
    // much more than around it, how far the lowest notes rise, and the salience the beats are
    // chosen by (from the two).
    std::vector<float> flux, strength, rise, salience;
    std::vector<std::vector<float>> bandHistory; // the last steps' loudness per band
    std::array<float, 8> lowHistory; // the last steps' loudness below 130 Hz, dB
    float loudestLowDb;
    // Per block of steps: the mean strength and rise, the beat period in steps, and how much
    // more the strength repeats at that period than within a beat.
    std::vector<float> strengthMean, riseMean, period, regularity;
    // Viterbi's path of periods: each state's best score so far, and, for the blocks whose period
    // is not decided yet, the state before each state and each state's regularity.
    std::vector<float> tempoScore;
    std::vector<std::vector<quint8>> pendingFrom;
    std::vector<std::vector<float>> pendingRegularity;
    // Per step: the best path of beats that ends with a beat there, and the beat before it.
    std::vector<float> score;
    std::vector<int> previous;
    std::vector<qint64> onsets; // aubio's, in sample frames
    std::vector<size_t> settled; // the beats that no later music changes, in steps
    Judgement judged; // of the settled beats whose judgement no later music changes
    bool ended = false;
};

// Whether the scenes follow the beats of the music at `path`: any song but headerless PCM (the
// demo's own music, *.raw, pipes and standard input ("-"), whose score or lack of a whole song
// keeps the own timing), unless the own timing is asked for.
bool followsBeats(const QString &path, bool ownTiming);

#endif // BEATTRACKER_H
