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
// clear beat. aubio hears the onsets; the beats are the best path through them at the song's
// local tempo (docs/beats.md). The music is fed in the show's format, in order, in pieces of any
// size; each piece costs work in proportion to its length, whatever the song's length.
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
    static constexpr size_t bandCount = 3;
    static constexpr size_t envelopeFrames = 64;
    void listenToBands(float sample);

    void analyseHop();
    void emphasise();
    void estimateTempo();
    void findPaths();
    static size_t tempoStates();
    static double statePeriod(size_t state);
    static float changeCost(size_t from, size_t to);
    void settle();
    std::vector<size_t> path() const;
    qint64 refined(size_t step) const;

    std::unique_ptr<Aubio> aubio;
    std::unique_ptr<Bands> bands;
    // Each band's loudness per 64 sample frames, in half dB above -100 dB.
    std::vector<quint8> envelope;
    std::vector<float> hop; // the mono samples of the hop being filled
    qint64 fed = 0;

    // Per step of the analysis (256 sample frames): how much sound starts there, and how much
    // more than around it (the onset strength the beats are chosen by).
    std::vector<float> flux, strength;
    std::vector<float> rise, salience;
    std::array<float, 8> lowHistory {-30, -30, -30, -30, -30, -30, -30, -30};
    float loudestLowDb = -30;
    std::vector<std::vector<float>> bandHistory; // the last steps' loudness per band
    // Per block of steps: the beat period in steps (0: no clear beat), and the strength's scale.
    std::vector<float> period, scale, strengthMean, riseScale, regularity;
    // Viterbi's path of periods: each state's best score so far, and, for the blocks whose period
    // is not decided yet, the state before each state and how steady each period is.
    std::vector<float> tempoScore;
    std::vector<std::vector<quint8>> pendingFrom;
    std::vector<std::vector<float>> pendingSteadiness;
    // Per step: the best path of beats that ends with a beat there, and the beat before it.
    std::vector<float> score;
    std::vector<int> previous;
    std::vector<qint64> onsets; // aubio's, in sample frames
    std::vector<size_t> settled; // the beats that no later music changes, in steps
    bool ended = false;
};

// Whether the scenes follow the beats of the music at `path`: any song but headerless PCM (the
// demo's own music, *.raw, pipes, whose score or lack of a whole song keeps the own timing),
// unless the own timing is asked for.
bool followsBeats(const QString &path, bool ownTiming);

#endif // BEATTRACKER_H
