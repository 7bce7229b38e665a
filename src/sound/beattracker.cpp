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
const smpl_t onsetThreshold = 0.1f; // aubio's "hfc" onsets, which tell that a beat is heard
const uint_t melBands = 40; // what aubio's Slaney filter bank gives
const size_t fluxLagSteps = 2; // sound starting: each band's loudness against 11.6 ms before
const size_t aroundSteps = 20; // strength: the flux above its mean over ±116 ms
// Low notes starting: the loudness of the spectrum's bins 1 to 3 (43 to 129 Hz), in dB above its
// highest in the last 8 steps (46 ms), counted fully where it is within 0 dB of the loudest so far
// and not at all 50 dB below.
const uint_t lowestBin = 1, highestLowBin = 3;
const float lowRangeDb = 50, silentLowDb = -30;
// The salience of a step: log(1 + strength / its mean) plus 0.45 log(1 + rise / its mean), the
// means over the 8 s around. The logarithm counts a beat that always sounds above one that is
// loud now and then.
const double lowWeight = 0.45;
const size_t blockSteps = 172; // the tempo is estimated for each block of 1 s
const size_t tempoWindowSteps = 1376; // from the 8 s around the block
const double fastestBpm = 200, slowestBpm = 60;
const double shortestPeriodSteps = 60 / fastestBpm * stepsPerSecond;
const double longestPeriodSteps = 60 / slowestBpm * stepsPerSecond;
// The tempo a listener taps most readily, and how far from it (in octaves, a log-Gaussian's
// deviation) a period still counts.
const double preferredBpm = 115, preferredOctaves = 0.8;
// The periods' states, 1 % apart; a comb's score counts from 0.05 up.
const double tempoResolution = 0.01, leastComb = 0.05;
// What a change of period by a factor e^d from one block to the next costs: 250 d² (a change by
// 2 %: 0.1), at most 8 (an octave, or any jump): as much as many blocks of a better score.
const double changeWeight = 250, jumpCost = 8;
const size_t decisionBlocks = 4; // a block's period is decided once the 4 after it are scored
// How much a beat loses for coming sooner or later than its period: tightness times the
// square of the natural log of the ratio (10 % early or late: 0.9 of a typical beat's salience).
const double tightness = 100;
// The judgement of each beat, on the 8 beats on each side of it (for its level, 16): its grid must
// be 1.15 times as salient as the grids a quarter, half or three quarters of a beat from it to be
// kept, and then stays kept until another grid is more salient; the strength around it must
// repeat at its period by 0.1 (normalised autocorrelation) more than within a beat, and then
// 0.03; half the beats around must have an onset of aubio's within 35 ms, and then a quarter.
const size_t judgedBeats = 8, levelBeats = 16;
const double leastPhaseRatio = 1.15, keptPhaseRatio = 1.0;
const double leastRegularity = 0.1, keptRegularity = 0.03;
const qint64 heardFrames = musicRateHz * 35 / 1000;
// The level: where the points halfway between the beats are 0.72 as salient as the beats, the
// beat is taken at twice the tempo (up to 200 a minute), and again at the tempo once they are
// below 0.62; where every other beat is less than 0.6 as salient as the others, at half the tempo
// (down to 60 a minute), until they are 0.7 as salient.
const double fasterLevel = 0.72, slowerLevel = 0.6, levelHysteresis = 0.1;
// The step's flux is highest when the sound that starts lies half a window before its end.
const qint64 latencyFrames = windowFrames / 2;
// Where exactly: the band whose loudness rises most (6 dB at least) over the 25 ms before and
// 10 ms after that, above its median of the 22 ms before, is halfway up.
const qint64 earlierBlocks = musicRateHz * 25 / 1000 / 64,
             laterBlocks = musicRateHz * 10 / 1000 / 64;
const qint64 floorBlocks = 15, peakBlocks = 8;
const int leastRiseHalfDb = 2 * 6;
// Beats are kept in runs of at least 8 at an even pace, each interval within 3 % of the last.
const double evenPace = 0.03;
const size_t minRunBeats = 8;

// The periods' states and what a change between two of them costs.
size_t tempoStates()
{
    return size_t(std::ceil(std::log(longestPeriodSteps / shortestPeriodSteps) / tempoResolution))
        + 1;
}

double statePeriod(size_t state)
{
    return shortestPeriodSteps * std::exp(double(state) * tempoResolution);
}

float changeCost(size_t from, size_t to)
{
    const double change = (double(to) - double(from)) * tempoResolution;
    return float(std::min(changeWeight * change * change, jumpCost));
}

} // namespace

// A second-order filter (Robert Bristow-Johnson's low and high pass, Q 1/sqrt(2)).
class BeatTracker::Biquad
{
public:
    Biquad(bool highPass, double cutoffHz)
    {
        const double w = 2 * M_PI * cutoffHz / musicRateHz, alpha = std::sin(w) / std::sqrt(2.0);
        const double c = std::cos(w), a0 = 1 + alpha;
        const double edge = highPass ? (1 + c) / 2 : (1 - c) / 2;
        b0 = b2 = float(edge / a0);
        b1 = float((highPass ? -2 : 2) * edge / a0);
        a1 = float(-2 * c / a0);
        a2 = float((1 - alpha) / a0);
    }
    float operator()(float x)
    {
        const float y = b0 * x + z1;
        z1 = b1 * x - a1 * y + z2;
        z2 = b2 * x - a2 * y;
        return y;
    }

private:
    float b0, b1, b2, a1, a2, z1 = 0, z2 = 0;
};

struct BeatTracker::Bands
{
    Biquad low {false, 200}, middleHigh {true, 200}, middleLow {false, 2000}, high {true, 2000};
    std::array<float, bandCount> energy {};
    qint64 frames = 0;
};

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

BeatTracker::BeatTracker() : aubio(std::make_unique<Aubio>()), bands(std::make_unique<Bands>())
{
    hop.reserve(stepFrames);
    bandHistory.assign(fluxLagSteps, std::vector<float>(melBands, 0.0f));
    lowHistory.fill(silentLowDb);
    loudestLowDb = silentLowDb;
}

BeatTracker::~BeatTracker() = default;

void BeatTracker::feed(const char *music, qint64 bytes)
{
    for (qint64 at = 0; at + musicBytesPerFrame <= bytes; at += musicBytesPerFrame) {
        const int left = qFromLittleEndian<qint16>(music + at);
        const int right = qFromLittleEndian<qint16>(music + at + 2);
        const float sample = float(left + right) / 65536.0f;
        listenToBands(sample);
        hop.push_back(sample);
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

// The loudness of the low, middle and high band over each 64 sample frames, where the beats' sounds
// are found to the millisecond.
void BeatTracker::listenToBands(float sample)
{
    Bands &b = *bands;
    const float low = b.low(sample), middle = b.middleLow(b.middleHigh(sample));
    const float high = b.high(sample);
    b.energy[0] += low * low;
    b.energy[1] += middle * middle;
    b.energy[2] += high * high;
    if (++b.frames < envelopeFrames)
        return;
    for (float &energy : b.energy) {
        const float db = 10 * std::log10(1e-10f + energy / float(envelopeFrames));
        envelope.push_back(quint8(std::clamp((db + 100) * 2, 0.0f, 255.0f)));
        energy = 0;
    }
    b.frames = 0;
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

    // Low notes starting: the kick drum's and the bass's.
    float power = 0;
    for (uint_t bin = lowestBin; bin <= highestLowBin; ++bin)
        power += aubio->spectrum->norm[bin] * aubio->spectrum->norm[bin];
    const float lowDb = 10 * std::log10(1e-3f + power);
    loudestLowDb = std::max(loudestLowDb, lowDb);
    const float recentDb = *std::max_element(lowHistory.begin(), lowHistory.end());
    const float weight = std::clamp((lowDb - loudestLowDb + lowRangeDb) / lowRangeDb, 0.0f, 1.0f);
    rise.push_back(std::max(0.0f, lowDb - recentDb) * weight);
    lowHistory[flux.size() % lowHistory.size()] = lowDb;
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

// Each block's beat period. Each block scores every period between 60 and 200 a minute by how
// well the strength around it repeats at the period and at twice, three and four times it (a beat
// repeats in its bar), weighed towards the tempo listeners tap; the periods of the blocks are then
// the best path through these scores, in which a change of more than a few per cent from one block
// to the next costs as much as many blocks of a better score (Viterbi's algorithm).
void BeatTracker::estimateTempo()
{
    const size_t longestLag = size_t(4 * longestPeriodSteps) + 2;
    const size_t states = tempoStates();
    for (size_t block = strengthMean.size();; ++block) {
        const size_t centre = block * blockSteps + blockSteps / 2;
        const size_t first = centre > tempoWindowSteps / 2 ? centre - tempoWindowSteps / 2 : 0;
        size_t last = centre + tempoWindowSteps / 2;
        if (last > strength.size()) {
            if (!ended || block * blockSteps >= strength.size())
                break;
            last = strength.size();
        }
        const size_t length = last - first;
        const auto mean = [&](const std::vector<float> &values) {
            return std::accumulate(values.begin() + long(first), values.begin() + long(last), 0.0)
                / double(length);
        };
        const double strengthAround = mean(strength);
        strengthMean.push_back(float(strengthAround));
        riseMean.push_back(float(mean(rise)));
        std::vector<double> centred(length);
        for (size_t i = 0; i < length; ++i)
            centred[i] = double(strength[first + i]) - strengthAround;
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
        std::vector<float> fit(states), steady(states);
        for (size_t state = 0; state < states; ++state) {
            const double candidate = statePeriod(state);
            const double comb = at(candidate) + at(2 * candidate) / 2 + at(3 * candidate) / 3
                + at(4 * candidate) / 4;
            const double octaves
                = std::log2(candidate / (60 / preferredBpm * stepsPerSecond)) / preferredOctaves;
            fit[state] = float(std::log(std::max(comb, 0.0) + leastComb) - octaves * octaves / 2);
            // How far the strength repeats at the period beyond how it does within a beat: a
            // slow swell repeats at every short lag alike, a beat only at its period.
            double within = 0;
            for (int part = 1; part <= 8; ++part)
                within += at(candidate * (0.1 + 0.1 * part)) / 8;
            steady[state] = float(at(candidate) - within);
        }
        // Viterbi's step: the best path of periods to each state of this block.
        std::vector<quint8> from(states, 0);
        std::vector<float> next(fit);
        if (!tempoScore.empty()) {
            for (size_t state = 0; state < states; ++state) {
                float best = -std::numeric_limits<float>::max();
                for (size_t before = 0; before < states; ++before) {
                    const float value = tempoScore[before] - changeCost(before, state);
                    if (value > best) {
                        best = value;
                        from[state] = quint8(before);
                    }
                }
                next[state] += best;
            }
        }
        // Only the scores' differences count: they stay near zero.
        const float top = *std::max_element(next.begin(), next.end());
        for (float &value : next)
            value -= top;
        tempoScore = std::move(next);
        pendingFrom.push_back(std::move(from));
        pendingRegularity.push_back(std::move(steady));
    }
    decidePeriods();
}

// The periods of the blocks 4 s before the last one scored (at the end, all): where the best path
// to the last block passes.
void BeatTracker::decidePeriods()
{
    const size_t undecided = pendingFrom.size();
    const size_t decided
        = ended ? undecided : (undecided > decisionBlocks ? undecided - decisionBlocks : 0);
    if (decided == 0)
        return;
    std::vector<size_t> chosen(undecided);
    size_t state
        = size_t(std::max_element(tempoScore.begin(), tempoScore.end()) - tempoScore.begin());
    for (size_t i = undecided; i-- > 0;) {
        chosen[i] = state;
        state = pendingFrom[i][state];
    }
    for (size_t i = 0; i < decided; ++i) {
        period.push_back(float(statePeriod(chosen[i])));
        regularity.push_back(pendingRegularity[i][chosen[i]]);
    }
    pendingFrom.erase(pendingFrom.begin(), pendingFrom.begin() + long(decided));
    pendingRegularity.erase(pendingRegularity.begin(), pendingRegularity.begin() + long(decided));
}

// The best path of beats to each step: the step's salience plus the best path to a beat half a
// period to two periods before it, less what the interval's departure from the period costs.
void BeatTracker::findPaths()
{
    const size_t known = std::min(strength.size(), period.size() * blockSteps);
    for (size_t n = score.size(); n < known; ++n) {
        const size_t block = n / blockSteps;
        const double beat = double(period[block]);
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
        const double here = std::log1p(strength[n] / std::max(strengthMean[block], 1e-9f))
            + lowWeight * std::log1p(rise[n] / std::max(riseMean[block], 1e-9f));
        salience.push_back(float(here));
        score.push_back(float(here + best));
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

// The beats more than 15 s before the music fed so far no longer change, nor does the judgement
// of those whose neighbours judged with them are settled too.
void BeatTracker::settle()
{
    const qint64 settledSteps = (fed - unsettledFrames) / qint64(stepFrames);
    if (settledSteps <= 0 || score.empty()
        || (!settled.empty() && qint64(settled.back()) + qint64(blockSteps) > settledSteps))
        return;
    const std::vector<size_t> beats = path();
    for (size_t i = settled.size(); i < beats.size() && qint64(beats[i]) < settledSteps; ++i)
        settled.push_back(beats[i]);
    if (settled.size() > levelBeats + 1) {
        judge(settled, settled.size() - levelBeats - 1, judged);
        closeRuns(judged, false);
    }
}

// Judges the beats `steps` from the judgement's next one until `until`, each on the salience of
// the beats around it and of the grids between them, in order: what was judged holds until the
// evidence turns. A beat is kept once its phase is clear and until another grid is at least as
// salient; the level changes once the points halfway between the beats are nearly as salient as
// the beats (twice the tempo) or every other beat is much weaker (half), and back once that ends.
void BeatTracker::judge(const std::vector<size_t> &steps, size_t until, Judgement &judgement) const
{
    if (judgement.next >= until)
        return;
    const size_t first = judgement.next > levelBeats ? judgement.next - levelBeats : 0;
    const size_t last = std::min(steps.size(), until + levelBeats + 1);
    // The salience at a step: its peak within a step.
    const auto peak = [&](double step) {
        const size_t at = size_t(std::lround(step));
        float most = 0;
        for (size_t n = at > 0 ? at - 1 : 0; n <= at + 1 && n < salience.size(); ++n)
            most = std::max(most, salience[n]);
        return double(most);
    };
    // Each beat's salience, and that of the points a quarter, half and three quarters of the
    // way to the next beat; whether aubio heard a sound start at it.
    std::vector<std::array<double, 4>> grid(last - first);
    std::vector<bool> heard(last - first);
    for (size_t i = first; i < last; ++i) {
        const double from = double(steps[i]);
        const double to = i + 1 < steps.size() ? double(steps[i + 1])
                                               : from + double(period[steps[i] / blockSteps]);
        for (size_t part = 0; part < 4; ++part)
            grid[i - first][part] = peak(from + (to - from) * double(part) / 4);
        const qint64 frame = qint64(steps[i] + 1) * stepFrames - latencyFrames;
        const auto onset = std::lower_bound(onsets.begin(), onsets.end(), frame - heardFrames);
        heard[i - first] = onset != onsets.end() && *onset <= frame + heardFrames;
    }
    using Level = Judgement::Level;
    for (size_t i = judgement.next; i < until; ++i) {
        std::array<double, 4> sums {};
        size_t heardBeats = 0;
        const size_t from = std::max(first, i > judgedBeats ? i - judgedBeats : 0);
        const size_t to = std::min(last, i + judgedBeats + 1);
        for (size_t j = from; j < to; ++j) {
            for (size_t part = 0; part < 4; ++part)
                sums[part] += grid[j - first][part];
            heardBeats += heard[j - first];
        }
        std::array<double, 2> parity {}, halves {};
        for (size_t j = std::max(first, i > levelBeats ? i - levelBeats : 0);
             j < std::min(last, i + levelBeats + 1); ++j) {
            parity[j % 2] += grid[j - first][0];
            halves[0] += grid[j - first][0];
            halves[1] += grid[j - first][2];
        }
        const double beatSteps = double(period[steps[i] / blockSteps]);
        const double steadiness = double(regularity[steps[i] / blockSteps]);
        const double half = sums[0] > 0 ? sums[2] / sums[0] : 1;
        const double quarter = sums[0] > 0 ? std::max(sums[1], sums[3]) / sums[0] : 1;
        const double halfway = halves[0] > 0 ? halves[1] / halves[0] : 1;
        const double alike
            = std::min(parity[0], parity[1]) / std::max({parity[0], parity[1], 1e-9});
        const bool canFaster = beatSteps / 2 >= shortestPeriodSteps;
        const bool canSlower = 2 * beatSteps <= longestPeriodSteps;
        if (judgement.level != Level::faster && canFaster && halfway >= fasterLevel) {
            judgement.level = Level::faster;
        } else if (judgement.level == Level::faster
                   && (!canFaster || halfway < fasterLevel - levelHysteresis)) {
            judgement.level = Level::same;
        }
        if (judgement.level == Level::same && canSlower && alike < slowerLevel) {
            judgement.level = Level::slower;
            judgement.slowerParity = parity[0] >= parity[1] ? 0 : 1;
        } else if (judgement.level == Level::slower
                   && (!canSlower || alike > slowerLevel + levelHysteresis)) {
            judgement.level = Level::same;
        }
        // How much more salient the beats are than the other grids at their level.
        const double margin = judgement.level == Level::faster
            ? (sums[0] + sums[2]) / 2 / std::max({sums[1], sums[3], 1e-9})
            : judgement.level == Level::slower ? 1 / std::max(alike, 1e-9)
                                               : 1 / std::max({half, quarter, 1e-9});
        const size_t around = to - from;
        if (!judgement.keeping) {
            judgement.keeping = margin >= leastPhaseRatio && steadiness >= leastRegularity
                && 2 * heardBeats >= around;
        } else {
            judgement.keeping = margin >= keptPhaseRatio && steadiness >= keptRegularity
                && 4 * heardBeats >= around;
        }
        if (!judgement.keeping
            || (judgement.level == Level::slower && i % 2 != judgement.slowerParity))
            continue;
        judgement.clear.push_back(steps[i]);
        if (judgement.level == Level::faster && i + 1 < steps.size()) {
            // The beat between: the salience's peak within 2 steps of halfway.
            const size_t middle = (steps[i] + steps[i + 1]) / 2;
            size_t best = middle;
            for (size_t n = std::max<size_t>(middle, 2) - 2; n <= middle + 2 && n < salience.size();
                 ++n) {
                if (salience[n] > salience[best])
                    best = n;
            }
            judgement.clear.push_back(best);
        }
    }
    judgement.next = until;
}

// The beats kept at an even pace: runs of at least 8 in which each interval is within 3 % of the
// one before it; the run still going on at the last beat kept is added only at the end.
void BeatTracker::closeRuns(Judgement &judgement, bool ended) const
{
    const std::vector<size_t> &clear = judgement.clear;
    for (size_t i = std::max(judgement.checked, judgement.runStart + 1); i <= clear.size(); ++i) {
        if (i == clear.size() && !ended) {
            judgement.checked = i;
            return;
        }
        const bool goesOn = i < clear.size()
            && (i < judgement.runStart + 2
                || std::abs(double(clear[i]) - 2 * double(clear[i - 1]) + double(clear[i - 2]))
                    <= evenPace * double(clear[i] - clear[i - 2]));
        if (goesOn)
            continue;
        if (i - judgement.runStart >= minRunBeats) {
            for (size_t j = judgement.runStart; j < i; ++j) {
                if (judgement.steady.empty() || clear[j] > judgement.steady.back())
                    judgement.steady.push_back(clear[j]);
            }
        }
        judgement.runStart = i - 1;
    }
    judgement.checked = clear.size() + 1;
}

// A beat's sample frame: where the band whose loudness rises most around its step is halfway up;
// where none rises by 6 dB, where the step's flux places it.
qint64 BeatTracker::refined(size_t step) const
{
    const qint64 frame = std::max<qint64>(0, qint64(step + 1) * stepFrames - latencyFrames);
    const qint64 centre = frame / envelopeFrames;
    const qint64 first = centre - earlierBlocks, last = centre + laterBlocks + peakBlocks;
    if (first < floorBlocks || last >= qint64(envelope.size() / bandCount))
        return frame;
    int bestRise = leastRiseHalfDb - 1;
    qint64 onset = frame;
    for (size_t band = 0; band < bandCount; ++band) {
        const auto level
            = [&](qint64 block) { return int(envelope[size_t(block) * bandCount + band]); };
        std::array<int, floorBlocks> before {};
        for (qint64 i = 0; i < floorBlocks; ++i)
            before[size_t(i)] = level(first - floorBlocks + i);
        std::nth_element(before.begin(), before.begin() + floorBlocks / 2, before.end());
        const int floor = before[floorBlocks / 2];
        int top = floor;
        for (qint64 block = first; block < last; ++block)
            top = std::max(top, level(block));
        if (top - floor <= bestRise)
            continue;
        bestRise = top - floor;
        for (qint64 block = first; block < last; ++block) {
            if (2 * (level(block) - floor) >= top - floor) {
                onset = block * envelopeFrames;
                break;
            }
        }
    }
    return onset;
}

std::vector<qint64> BeatTracker::beats() const
{
    const std::vector<size_t> steps = path();
    Judgement judgement = judged;
    judge(steps, steps.size(), judgement);
    closeRuns(judgement, true);
    std::vector<qint64> found;
    found.reserve(judgement.steady.size());
    for (const size_t step : judgement.steady) {
        const qint64 beat = refined(step);
        if (found.empty() || beat > found.back())
            found.push_back(beat);
    }
    return found;
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
