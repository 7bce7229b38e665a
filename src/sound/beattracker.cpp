#include "beattracker.h"

#include <aubio/aubio.h>

#include <QtEndian>

#include <algorithm>
#include <cmath>
#include <numeric>

namespace {

const uint_t windowFrames = 1024; // aubio's analysis window
const uint_t stepFrames = 256; // 5.8 ms: one step of the analysis
const double stepsPerSecond = double(musicRateHz) / stepFrames;
const smpl_t onsetThreshold = 0.3f; // aubio's "hfc" onsets, where the beats are put exactly
const uint_t melBands = 40; // what aubio's Slaney filter bank gives
const size_t fluxLagSteps = 2; // sound starting: each band's loudness against 11.6 ms before
const size_t aroundSteps = 20; // strength: the flux above its mean over ±116 ms
const size_t blockSteps = 172; // the tempo is estimated for each block of 1 s
const size_t tempoWindowSteps = 1376; // from the 8 s around the block
const double fastestBpm = 200, slowestBpm = 60;
const double shortestPeriodSteps = 60 / fastestBpm * stepsPerSecond;
const double longestPeriodSteps = 60 / slowestBpm * stepsPerSecond;
// The tempo a listener taps most readily, and how far from it (in octaves) a song's beat is
// still taken at its own level rather than at twice or half of it.
const double preferredBpm = 115, preferredOctaves = 1.0;
// Where the strength repeats at half the period at least 0.65 as well as at the period, the
// beat is taken at twice the tempo, up to 190 a minute.
const double fasterLevel = 0.65, fastestTappedBpm = 190;
// A period within 6 % of the last block's is kept rather than a little stronger one.
const double keptPeriodRatio = 0.06, keptPeriodWeight = 1.25;
// How much a beat loses for coming sooner or later than its period: tightness times the
// square of the natural log of the ratio (10 % early or late: 0.9 of a typical beat's strength).
const double tightness = 100;
// A beat is kept where the beats around it (4 on each side) are at least as strong as the points
// halfway between them, half of them have an onset of aubio's within 35 ms, and the block repeats
// at its period by 0.1 (normalised autocorrelation) more than within a beat.
const int judgedBeats = 4;
const double leastOnOffRatio = 1.0;
const double leastRegularity = 0.1;
const qint64 heardFrames = musicRateHz * 35 / 1000;
// The step's flux is highest when the sound that starts lies half a window before its end.
const qint64 latencyFrames = windowFrames / 2;
const qint64 snapFrames = musicRateHz * 15 / 1000; // a beat moves onto aubio's onset within 15 ms
// Beats are kept in runs of at least 8 at an even pace, each interval within 3 % of the last.
const double evenPace = 0.03;
const size_t minRunBeats = 8;

} // namespace

struct BeatTracker::Aubio
{
    aubio_onset_t *onset = new_aubio_onset("hfc", windowFrames, stepFrames, musicRateHz);
    aubio_pvoc_t *pvoc = new_aubio_pvoc(windowFrames, stepFrames);
    aubio_filterbank_t *bank = new_aubio_filterbank(melBands, windowFrames);
    fvec_t *in = new_fvec(stepFrames);
    fvec_t *out = new_fvec(1);
    fvec_t *bands = new_fvec(melBands);
    cvec_t *spectrum = new_cvec(windowFrames);

    Aubio()
    {
        aubio_onset_set_threshold(onset, onsetThreshold);
        aubio_filterbank_set_mel_coeffs_slaney(bank, musicRateHz);
    }
    ~Aubio()
    {
        del_aubio_onset(onset);
        del_aubio_pvoc(pvoc);
        del_aubio_filterbank(bank);
        del_fvec(in);
        del_fvec(out);
        del_fvec(bands);
        del_cvec(spectrum);
    }
};

BeatTracker::BeatTracker() : aubio(std::make_unique<Aubio>())
{
    hop.reserve(stepFrames);
    bandHistory.assign(fluxLagSteps, std::vector<float>(melBands, 0.0f));
}

BeatTracker::~BeatTracker() = default;

void BeatTracker::feed(const char *music, qint64 bytes)
{
    for (qint64 at = 0; at + musicBytesPerFrame <= bytes; at += musicBytesPerFrame) {
        const int left = qFromLittleEndian<qint16>(music + at);
        const int right = qFromLittleEndian<qint16>(music + at + 2);
        hop.push_back(float(left + right) / 65536.0f);
        if (hop.size() == stepFrames)
            analyseHop();
    }
    fed += bytes / musicBytesPerFrame;
    emphasise();
    estimateTempo();
    findPaths();
    settle();
}

void BeatTracker::finish()
{
    ended = true;
    emphasise();
    estimateTempo();
    findPaths();
}

void BeatTracker::analyseHop()
{
    std::copy(hop.begin(), hop.end(), aubio->in->data);
    hop.clear();
    aubio_onset_do(aubio->onset, aubio->in, aubio->out);
    if (aubio->out->data[0] != 0)
        onsets.push_back(aubio_onset_get_last(aubio->onset));

    // The spectral flux of the loudness in mel bands: sound that starts, in any band.
    aubio_pvoc_do(aubio->pvoc, aubio->in, aubio->spectrum);
    aubio_filterbank_do(aubio->bank, aubio->spectrum, aubio->bands);
    std::vector<float> &before = bandHistory[flux.size() % fluxLagSteps];
    float sum = 0;
    for (uint_t band = 0; band < melBands; ++band) {
        const float loudness = std::log1p(aubio->bands->data[band]);
        sum += std::max(0.0f, loudness - before[band]);
        before[band] = loudness;
    }
    flux.push_back(sum);
}

// The strength of each step: its flux above the mean around it, once the flux after it is known.
void BeatTracker::emphasise()
{
    for (size_t n = strength.size(); n < flux.size(); ++n) {
        if (n + aroundSteps >= flux.size() && !ended)
            return;
        const size_t first = n > aroundSteps ? n - aroundSteps : 0;
        const size_t last = std::min(flux.size(), n + aroundSteps + 1);
        const double mean
            = std::accumulate(flux.begin() + long(first), flux.begin() + long(last), 0.0)
            / double(last - first);
        strength.push_back(float(std::max(0.0, double(flux[n]) - mean)));
    }
}

// Each block's beat period: the period between 60 and 200 a minute at which the strength around
// it repeats best, at twice, three and four times it too (a beat repeats in its bar), weighed
// towards the tempo listeners tap and towards the last block's period.
void BeatTracker::estimateTempo()
{
    const size_t longestLag = size_t(4 * longestPeriodSteps) + 2;
    for (size_t block = period.size();; ++block) {
        const size_t centre = block * blockSteps + blockSteps / 2;
        const size_t first = centre > tempoWindowSteps / 2 ? centre - tempoWindowSteps / 2 : 0;
        size_t last = centre + tempoWindowSteps / 2;
        if (last > strength.size()) {
            if (!ended || block * blockSteps >= strength.size())
                return;
            last = strength.size();
        }
        const size_t length = last - first;
        const double mean
            = std::accumulate(strength.begin() + long(first), strength.begin() + long(last), 0.0)
            / double(length);
        std::vector<double> centred(length);
        double power = 0;
        for (size_t i = 0; i < length; ++i) {
            centred[i] = double(strength[first + i]) - mean;
            power += double(strength[first + i]) * strength[first + i];
        }
        scale.push_back(float(std::sqrt(power / double(length))));
        std::vector<double> correlation(std::min(longestLag, length), 0.0);
        for (size_t lag = 0; lag < correlation.size(); ++lag) {
            double sum = 0;
            for (size_t i = 0; i + lag < length; ++i)
                sum += centred[i] * centred[i + lag];
            correlation[lag] = sum / double(length - lag);
        }
        const auto at = [&](double lag) {
            const size_t below = size_t(lag);
            if (correlation.empty() || correlation[0] <= 0 || below + 1 >= correlation.size())
                return 0.0;
            const double part = lag - double(below);
            return ((1 - part) * correlation[below] + part * correlation[below + 1])
                / correlation[0];
        };
        double best = -1,
               bestPeriod = lastPeriod > 0 ? lastPeriod : 60 / preferredBpm * stepsPerSecond;
        for (double candidate = std::floor(shortestPeriodSteps);
             candidate <= std::ceil(longestPeriodSteps); candidate += 0.5) {
            const double comb = at(candidate) + at(2 * candidate) / 2 + at(3 * candidate) / 3
                + at(4 * candidate) / 4;
            const double octaves
                = std::log2(candidate / (60 / preferredBpm * stepsPerSecond)) / preferredOctaves;
            double weight = std::exp(-0.5 * octaves * octaves);
            if (lastPeriod > 0 && std::abs(std::log(candidate / lastPeriod)) < keptPeriodRatio)
                weight *= keptPeriodWeight;
            if (comb * weight > best) {
                best = comb * weight;
                bestPeriod = candidate;
            }
        }
        // Where every beat at twice the tempo repeats nearly as well, a listener taps that.
        if (bestPeriod / 2 >= 60 / fastestTappedBpm * stepsPerSecond
            && at(bestPeriod / 2) >= fasterLevel * at(bestPeriod))
            bestPeriod /= 2;
        // How far the strength repeats at the period beyond how it does within a beat: a slow
        // swell repeats at every short lag alike, a beat only at its period.
        double within = 0;
        for (int part = 1; part <= 8; ++part)
            within += at(bestPeriod * (0.1 + 0.1 * part)) / 8;
        regularity.push_back(float(at(bestPeriod) - within));
        period.push_back(float(bestPeriod));
        lastPeriod = float(bestPeriod);
    }
}

// The best path of beats to each step: the step's strength plus the best path to a beat half a
// period to two periods before it, less what the interval's departure from the period costs.
void BeatTracker::findPaths()
{
    const size_t known = std::min(strength.size(), period.size() * blockSteps);
    for (size_t n = score.size(); n < known; ++n) {
        const size_t block = n / blockSteps;
        const double beat = double(period[block]);
        const float unit = scale[block] > 0 ? scale[block] : 1.0f;
        double best = 0;
        int from = -1;
        const size_t nearest = size_t(std::lround(beat / 2)),
                     farthest = size_t(std::lround(2 * beat));
        for (size_t back = nearest; back <= farthest && back <= n; ++back) {
            const double change = std::log(double(back) / beat);
            const double value = double(score[n - back]) - tightness * change * change;
            if (value > best) {
                best = value;
                from = int(n - back);
            }
        }
        score.push_back(float(double(strength[n] / unit) + best));
        previous.push_back(from);
    }
}

// The steps of the beats: those settled, then back from the best end of the paths found so far
// until they meet.
std::vector<size_t> BeatTracker::path() const
{
    std::vector<size_t> beats = settled;
    if (score.empty())
        return beats;
    const size_t end = score.size();
    const size_t lastBeat = size_t(std::lround(double(period[(end - 1) / blockSteps])));
    size_t best = end - 1;
    for (size_t n = end > lastBeat ? end - lastBeat : 0; n < end; ++n) {
        if (score[n] > score[best])
            best = n;
    }
    const double joinSteps = settled.empty() ? 0 : double(period[settled.back() / blockSteps]) / 2;
    std::vector<size_t> fresh;
    for (int n = int(best);
         n >= 0 && (settled.empty() || double(n) > double(settled.back()) + joinSteps);
         n = previous[size_t(n)])
        fresh.push_back(size_t(n));
    beats.insert(beats.end(), fresh.rbegin(), fresh.rend());
    return beats;
}

// The beats more than 15 s before the music fed so far no longer change.
void BeatTracker::settle()
{
    const qint64 settledSteps = (fed - unsettledFrames) / qint64(stepFrames);
    if (settledSteps <= 0 || score.empty()
        || (!settled.empty() && qint64(settled.back()) + qint64(blockSteps) > settledSteps))
        return;
    const std::vector<size_t> beats = path();
    for (size_t i = settled.size(); i < beats.size() && qint64(beats[i]) < settledSteps; ++i)
        settled.push_back(beats[i]);
}

// A beat's sample frame: where the sound of its step starts, on aubio's onset where one is near.
qint64 BeatTracker::refined(size_t step) const
{
    const qint64 frame = std::max<qint64>(0, qint64(step + 1) * stepFrames - latencyFrames);
    const auto after = std::lower_bound(onsets.begin(), onsets.end(), frame);
    qint64 nearest = frame, distance = snapFrames + 1;
    if (after != onsets.end() && *after - frame < distance)
        std::tie(nearest, distance) = std::make_pair(*after, *after - frame);
    if (after != onsets.begin() && frame - *(after - 1) < distance)
        nearest = *(after - 1);
    return nearest;
}

std::vector<qint64> BeatTracker::beats() const
{
    const std::vector<size_t> steps = path();
    // Each beat's strength, and that halfway to the next (±1 step: its peak).
    const auto peak = [&](size_t step) {
        float most = 0;
        for (size_t n = step > 0 ? step - 1 : 0; n <= step + 1 && n < strength.size(); ++n)
            most = std::max(most, strength[n] / std::max(scale[n / blockSteps], 1e-6f));
        return double(most);
    };
    std::vector<double> on(steps.size()), off(steps.size());
    for (size_t i = 0; i < steps.size(); ++i) {
        on[i] = peak(steps[i]);
        off[i] = i + 1 < steps.size() ? peak((steps[i] + steps[i + 1]) / 2)
                                      : peak(steps[i] + size_t(period[steps[i] / blockSteps] / 2));
    }
    // Whether aubio heard a sound start at each beat.
    std::vector<bool> hasOnset(steps.size());
    for (size_t i = 0; i < steps.size(); ++i) {
        const qint64 frame = qint64(steps[i] + 1) * stepFrames - latencyFrames;
        const auto after = std::lower_bound(onsets.begin(), onsets.end(), frame - heardFrames);
        hasOnset[i] = after != onsets.end() && *after <= frame + heardFrames;
    }
    std::vector<qint64> clear;
    for (size_t i = 0; i < steps.size(); ++i) {
        const size_t first = i > size_t(judgedBeats) ? i - judgedBeats : 0;
        const size_t last = std::min(steps.size(), i + judgedBeats + 1);
        double onSum = 0, offSum = 0;
        size_t heard = 0;
        for (size_t j = first; j < last; ++j) {
            onSum += on[j];
            offSum += off[j];
            heard += hasOnset[j];
        }
        if (onSum >= leastOnOffRatio * offSum && onSum > 0 && 2 * heard >= last - first
            && double(regularity[steps[i] / blockSteps]) >= leastRegularity)
            clear.push_back(refined(steps[i]));
    }
    // The beats at an even pace: runs of at least 8 in which each interval is within 3 % of the
    // one before it.
    std::vector<qint64> steady;
    size_t start = 0;
    for (size_t i = 1; i <= clear.size(); ++i) {
        const bool goesOn = i < clear.size()
            && (i < start + 2
                || std::abs(double(clear[i] - 2 * clear[i - 1] + clear[i - 2]))
                    <= evenPace * double(clear[i] - clear[i - 2]));
        if (goesOn)
            continue;
        if (i - start >= minRunBeats) {
            for (size_t j = start; j < i; ++j) {
                if (steady.empty() || clear[j] > steady.back())
                    steady.push_back(clear[j]);
            }
        }
        start = i - 1;
    }
    return steady;
}

std::vector<qint64> BeatTracker::beatsNs(qint64 beforeFrames) const
{
    std::vector<qint64> found;
    for (const qint64 beat : beats()) {
        if (beat < beforeFrames)
            found.push_back(framesToNs(beat));
    }
    return found;
}

bool followsBeats(const QString &path, bool ownTiming)
{
    // Standard input is a pipe or headerless music whatever its name: never analysed.
    return !ownTiming && !path.isEmpty() && path != QLatin1String("-") && !isRawMusic(path);
}
