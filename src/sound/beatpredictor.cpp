#include "beatpredictor.h"

#include "frametime.h"
#include "musicsource.h"

#include <aubio/aubio.h>

#include <algorithm>
#include <cmath>

namespace {

const uint_t windowFrames = 1024; // aubio's analysis window
const uint_t hopFrames = 256; // 5.8 ms: where a hit starts
const smpl_t onsetThreshold = 0.3f; // aubio's "hfc" onsets: the drums' hits, not a pad's swell
const qint64 loudnessFrames = musicRateHz * 40 / 1000; // a hit's loudness: its first 40 ms
const qint64 aroundFrames = 3 * musicRateHz; // weighed against the onsets of the 3 s before it
const size_t powerHops = size_t(4 * musicRateHz / hopFrames); // the hops' power kept: 4 s
const qint64 windowFramesKept = 9 * musicRateHz; // a chain reaches back 9 s at the most
const qint64 latestWithinFrames = 2 * musicRateHz; // a chain's latest beat: in the last 2 s
// What an onset is known by: aubio's detection and its loudness, some 100 ms after it.
const qint64 knownAfterFrames = musicRateHz / 10;
const qint64 searchEveryHops = 10; // 58 ms: a chain's beats missed are counted this often
const double fastestBpm = 190, slowestBpm = 60;
const double shortestBeatFrames = 60.0 / fastestBpm * musicRateHz;
const double longestBeatFrames = 60.0 / slowestBpm * musicRateHz;
// A beat lies within 5 % of a beat of where the one after it and the interval put it, within
// 12 to 30 ms.
const double toleranceShare = 0.05;
const qint64 leastToleranceFrames = musicRateHz * 12 / 1000,
             mostToleranceFrames = musicRateHz * 30 / 1000;
// What a chain of beats gains and pays, in dB of loudness: each hit its loudness above the
// onsets before it plus beatBonusDb; a beat without a hit missDb, starting a chain startDb; a
// chain on the beats already predicted gains keepDb, so that an even choice does not flip.
const float beatBonusDb = 2, missDb = 4, startDb = 8, keepDb = 6;
const int mostMissesInRow = 2; // a chain starts after more misses than this
const int countedBeats = 8; // the confidence: the hits among the last 8 beats
const int fittedBeats = 12; // the coming beats follow the last 12, the latest weighing most
const double olderWeighs = 0.8; // each beat back weighs this much less
const double mostChange = 0.015; // a period changes by at most 3 % a beat
const int changingBeats = 4; // the change is followed this far ahead, the period kept after
const double unevenShare = 0.03; // beats off the fit by this much of a beat lower the confidence
const qint64 staleNs = 1'000'000'000; // no sound fed for this long: no beat

qint64 toleranceFrames(double period)
{
    return std::clamp(qint64(toleranceShare * period), leastToleranceFrames, mostToleranceFrames);
}

} // namespace

struct BeatPredictor::Aubio
{
    aubio_onset_t *onset = new_aubio_onset("hfc", windowFrames, hopFrames, musicRateHz);
    fvec_t *in = new_fvec(hopFrames);
    fvec_t *out = new_fvec(1);

    Aubio() { aubio_onset_set_threshold(onset, onsetThreshold); }
    ~Aubio()
    {
        del_aubio_onset(onset);
        del_fvec(in);
        del_fvec(out);
    }
};

double BeatPredictor::Fit::frame(int k) const
{
    // The change followed a few beats ahead, the period then kept.
    if (k <= changingBeats)
        return at + period * k + change * k * k;
    return frame(changingBeats) + (period + 2 * change * changingBeats) * (k - changingBeats);
}

BeatPredictor::BeatPredictor() : aubio(std::make_unique<Aubio>()), hopPower(powerHops, 0.0f)
{
    hop.reserve(hopFrames);
}

BeatPredictor::~BeatPredictor() = default;

void BeatPredictor::feed(const float *samples, qint64 frames, qint64 heardNs)
{
    {
        const std::lock_guard<std::mutex> guard(lock);
        startHeardNs = heardNs - framesToNs(fedFrames);
        fedFrames += frames;
    }
    for (qint64 i = 0; i < frames; ++i) {
        hop.push_back(samples[i]);
        if (hop.size() == hopFrames)
            analyseHop();
    }
}

void BeatPredictor::analyseHop()
{
    double power = 0;
    for (const float sample : hop)
        power += double(sample) * sample;
    hopPower[size_t(analysedFrames / hopFrames) % powerHops] = float(power / hopFrames);

    std::copy(hop.begin(), hop.end(), aubio->in->data);
    aubio_onset_do(aubio->onset, aubio->in, aubio->out);
    if (aubio->out->data[0] != 0) {
        // aubio counts frames in 32 bits: the onset lies this far before the hop's start.
        const auto back = qint32(quint32(analysedFrames) - aubio_onset_get_last(aubio->onset));
        pendingOnsets.push_back(analysedFrames - back);
    }
    analysedFrames += hopFrames;
    hop.clear();

    weighOnsets();
    while (!onsets.empty() && onsets.front().frame < analysedFrames - windowFramesKept)
        onsets.pop_front();
    if (++hopsToSearch >= searchEveryHops)
        search();
}

// The onsets whose first 40 ms have been heard: their loudness, and what each gains as a beat.
void BeatPredictor::weighOnsets()
{
    bool strong = false;
    while (!pendingOnsets.empty() && pendingOnsets.front() + loudnessFrames <= analysedFrames) {
        const qint64 frame
            = std::max(pendingOnsets.front(), analysedFrames - qint64(powerHops) * hopFrames);
        pendingOnsets.pop_front();
        double sum = 0;
        int hops = 0;
        for (qint64 at = frame / hopFrames; at * hopFrames < frame + loudnessFrames; ++at, ++hops)
            sum += double(hopPower[size_t(at) % powerHops]);
        const float loudnessDb = float(10 * std::log10(sum / std::max(1, hops) + 1e-10));
        double aroundDb = loudnessDb;
        int around = 1;
        for (auto o = onsets.rbegin(); o != onsets.rend() && o->frame >= frame - aroundFrames;
             ++o, ++around)
            aroundDb += double(o->loudnessDb);
        const float weight = loudnessDb - float(aroundDb / around) + beatBonusDb;
        if (!onsets.empty() && frame <= onsets.back().frame)
            continue; // aubio does not go back; this keeps the onsets in order whatever it does
        onsets.push_back({frame, loudnessDb, weight});
        strong = strong || weight > 0;
    }
    if (strong)
        search();
}

// The strongest onset within `toleranceFrames` of `frame`, if any.
const BeatPredictor::Onset *BeatPredictor::strongestNear(qint64 frame, qint64 toleranceFrames) const
{
    auto o = std::lower_bound(onsets.begin(), onsets.end(), frame - toleranceFrames,
                              [](const Onset &onset, qint64 f) { return onset.frame < f; });
    const Onset *best = nullptr;
    for (; o != onsets.end() && o->frame <= frame + toleranceFrames; ++o) {
        if (!best || o->weight > best->weight)
            best = &*o;
    }
    return best;
}

// The chain whose latest two hits are the onsets `before` and `latest`: back from them each beat
// where the one after it and the interval put it, on the strongest onset near, and ahead of them
// the beats that should have been heard by `seenFrames` and were not.
BeatPredictor::Chain BeatPredictor::walk(size_t before, size_t latest, qint64 seenFrames) const
{
    Chain chain;
    double period = double(onsets[latest].frame - onsets[before].frame);
    // Ahead: each beat missed.
    for (double at = double(onsets[latest].frame) + period;
         at + double(toleranceFrames(period)) <= double(seenFrames); at += period) {
        chain.frames.insert(chain.frames.begin(), qint64(at));
        chain.hits.insert(chain.hits.begin(), false);
        chain.score -= missDb;
    }
    chain.frames.push_back(onsets[latest].frame);
    chain.hits.push_back(true);
    chain.frames.push_back(onsets[before].frame);
    chain.hits.push_back(true);
    chain.score += onsets[latest].weight + onsets[before].weight - startDb;
    // Back: misses count only where a hit comes before them.
    const qint64 firstFrame = analysedFrames - windowFramesKept;
    double at = double(onsets[before].frame);
    int misses = 0;
    for (;;) {
        const double expected = at - period;
        if (expected < double(firstFrame) || misses > mostMissesInRow)
            break;
        const Onset *onset = strongestNear(qint64(expected), toleranceFrames(period));
        if (onset && onset->weight > -missDb) {
            chain.score += onset->weight - float(misses) * missDb;
            period = (at - double(onset->frame)) / (misses + 1);
            chain.frames.push_back(onset->frame);
            chain.hits.push_back(true);
            misses = 0;
            at = double(onset->frame);
        } else {
            chain.frames.push_back(qint64(expected));
            chain.hits.push_back(false);
            ++misses;
            at = expected;
        }
    }
    chain.frames.resize(chain.frames.size() - size_t(misses));
    chain.hits.resize(chain.hits.size() - size_t(misses));
    return chain;
}

// The chain of beats that gains the most among those whose latest hit came in the last 2 s.
void BeatPredictor::search()
{
    hopsToSearch = 0;
    const qint64 seenFrames = analysedFrames - knownAfterFrames;
    Fit kept;
    bool keeping;
    {
        const std::lock_guard<std::mutex> guard(lock);
        kept = fit;
        keeping = beat;
    }
    Chain best;
    for (size_t latest = onsets.size(); latest-- > 0;) {
        if (onsets[latest].frame < seenFrames - latestWithinFrames)
            break;
        if (onsets[latest].weight <= 0)
            continue;
        for (size_t before = latest; before-- > 0;) {
            const qint64 period = onsets[latest].frame - onsets[before].frame;
            if (period > longestBeatFrames)
                break;
            if (period < shortestBeatFrames || onsets[before].weight <= 0)
                continue;
            Chain chain = walk(before, latest, seenFrames);
            if (keeping
                && std::abs(double(period) - kept.period) < 2 * toleranceShare * kept.period) {
                // On the grid already predicted: the predicted beat nearest its latest hit.
                const double k = std::round((double(onsets[latest].frame) - kept.at) / kept.period);
                if (std::abs(kept.frame(int(k)) - double(onsets[latest].frame))
                    <= double(toleranceFrames(kept.period)))
                    chain.score += keepDb;
            }
            if (chain.score > best.score)
                best = std::move(chain);
        }
    }
    publish(best);
}

// The chain's fit and confidence, handed over.
void BeatPredictor::publish(const Chain &chain)
{
    const size_t beats = chain.frames.size();
    const int hits = int(
        std::count(chain.hits.begin(),
                   chain.hits.begin() + ptrdiff_t(std::min<size_t>(beats, countedBeats)), true));
    Fit next;
    float sure = 0;
    if (hits >= 3) {
        // Weighted least squares of frame = at + period k + change k² over the hits among the
        // last beats (k = 0 the latest, the earlier negative); the change only from 6 hits on.
        const int fitted = int(std::min<size_t>(beats, fittedBeats));
        const bool changing = hits >= 6;
        const double origin = double(chain.frames[0]);
        double s[5] = {}, t[3] = {};
        for (int i = 0; i < fitted; ++i) {
            if (!chain.hits[size_t(i)])
                continue;
            const double k = -i, w = std::pow(olderWeighs, i);
            const double y = double(chain.frames[size_t(i)]) - origin;
            double kp = w;
            for (int p = 0; p < 5; ++p, kp *= k)
                s[p] += kp;
            t[0] += w * y;
            t[1] += w * y * k;
            t[2] += w * y * k * k;
        }
        double a, b, c = 0;
        if (changing) {
            // Cramer's rule on the 3 by 3 normal equations.
            const auto det = [](double a1, double a2, double a3, double b1, double b2, double b3,
                                double c1, double c2, double c3) {
                return a1 * (b2 * c3 - b3 * c2) - a2 * (b1 * c3 - b3 * c1)
                    + a3 * (b1 * c2 - b2 * c1);
            };
            const double d = det(s[0], s[1], s[2], s[1], s[2], s[3], s[2], s[3], s[4]);
            a = det(t[0], s[1], s[2], t[1], s[2], s[3], t[2], s[3], s[4]) / d;
            b = det(s[0], t[0], s[2], s[1], t[1], s[3], s[2], t[2], s[4]) / d;
            c = det(s[0], s[1], t[0], s[1], s[2], t[1], s[2], s[3], t[2]) / d;
        }
        if (!changing || !std::isfinite(c) || std::abs(c) > mostChange * std::abs(b)) {
            const double d = s[0] * s[2] - s[1] * s[1];
            b = (s[0] * t[1] - s[1] * t[0]) / d;
            a = (t[0] - b * s[1]) / s[0];
            c = 0;
        }
        next = {origin + a, b, c};
        double residual = 0, weights = 0;
        for (int i = 0; i < fitted; ++i) {
            if (chain.hits[size_t(i)]) {
                const double off = double(chain.frames[size_t(i)]) - next.frame(-i);
                residual += off * off;
                weights += 1;
            }
        }
        const double uneven = std::sqrt(residual / weights) / (unevenShare * b);
        sure = float(hits) / countedBeats * float(std::exp(-uneven * uneven / 4));
        if (!(b > 0) || !std::isfinite(a))
            sure = 0;
    }
    const std::lock_guard<std::mutex> guard(lock);
    confidence = sure;
    beat = sure >= leastConfidence;
    if (beat)
        fit = next;
}

BeatPredictor::Beats BeatPredictor::coming(qint64 afterNs, int count) const
{
    const std::lock_guard<std::mutex> guard(lock);
    Beats found;
    found.confidence = confidence;
    if (!beat || afterNs > startHeardNs + framesToNs(fedFrames) + staleNs)
        return found;
    const auto heardNs
        = [&](int k) { return startHeardNs + framesToNs(qint64(std::llround(fit.frame(k)))); };
    // From the beat before `afterNs` in the fit's own pace.
    int k = int(std::floor((double(afterNs - startHeardNs) * musicRateHz / 1e9 - fit.at)
                           / fit.period))
        - 1;
    k = std::max(k, -fittedBeats);
    for (; int(found.heardNs.size()) < count && k < 100000; ++k) {
        const qint64 at = heardNs(k);
        if (at > afterNs) {
            if (found.heardNs.empty())
                found.periodNs = heardNs(k + 1) - at;
            found.heardNs.push_back(at);
        }
    }
    return found;
}
