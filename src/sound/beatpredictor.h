#ifndef BEATPREDICTOR_H
#define BEATPREDICTOR_H

#include <QtGlobal>

#include <deque>
#include <memory>
#include <mutex>
#include <vector>

// The beats of music as it is heard, found as it comes and predicted ahead. Fed the recorded
// sound block by block with the moment each block is heard, it tells when the coming beats will
// be heard and how sure it is; without a steady beat (speech, silence) it says there is none, and
// it finds a beat that comes in within a few beats. Causal: each sample is analysed once, as it
// comes. How it listens: docs/listening.md.
class BeatPredictor
{
public:
    BeatPredictor();
    ~BeatPredictor();

    BeatPredictor(const BeatPredictor &) = delete;
    BeatPredictor &operator=(const BeatPredictor &) = delete;

    // The next `frames` mono samples at musicRateHz, the first of them heard at `heardNs`
    // (monotonicNowNs()). Called from one thread, the recorder's.
    void feed(const float *samples, qint64 frames, qint64 heardNs);

    struct Beats
    {
        std::vector<qint64> heardNs; // when each is heard, ascending; none without a steady beat
        qint64 periodNs = 0; // from the first of them to the next
        // The share of the last 8 beats heard as hits at an even pace: 0 to 1.
        float confidence = 0;
    };
    // Any thread: the next `count` beats heard after `afterNs`.
    Beats coming(qint64 afterNs, int count) const;

    // The confidence from which there is a beat: 6 of the last 8 heard.
    static constexpr float leastConfidence = 0.7f;

private:
    struct Aubio;
    struct Onset
    {
        qint64 frame;
        float loudnessDb;
        float weight; // what it gains as a beat: its loudness above the onsets before it
    };
    struct Chain
    {
        std::vector<qint64> frames; // its beats, the latest first
        std::vector<bool> hits; // whether each fell on an onset
        float score = 0;
    };
    // Beat k of the latest (0), the coming (k > 0) and those before (k < 0), in sample frames.
    struct Fit
    {
        double at = 0, period = 0, change = 0; // at + period k + change k²
        double frame(int k) const;
    };

    void analyseHop();
    void weighOnsets();
    void search();
    Chain walk(size_t before, size_t latest, qint64 seenFrames) const;
    const Onset *strongestNear(qint64 frame, qint64 toleranceFrames) const;
    void publish(const Chain &chain);

    std::unique_ptr<Aubio> aubio;
    std::vector<float> hop; // the samples of the hop being filled
    qint64 analysedFrames = 0;
    std::vector<float> hopPower; // mean square of the latest hops, a ring
    std::deque<qint64> pendingOnsets; // found, their loudness still to be heard
    std::deque<Onset> onsets; // the latest, oldest first
    qint64 hopsToSearch = 0;

    mutable std::mutex lock; // guards what is published
    bool beat = false;
    float confidence = 0;
    Fit fit;
    qint64 startHeardNs = 0; // when frame 0 would have been heard, from the latest block
    qint64 fedFrames = 0;
};

#endif // BEATPREDICTOR_H
