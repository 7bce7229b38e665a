#include "beattracker.h"

#include <aubio/aubio.h>

#include <QtEndian>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <cstdio>
#include <cstdlib>

namespace {

double tune(const char *name, double fallback)
{
    const char *v = std::getenv(name);
    return v ? std::atof(v) : fallback;
}
const double lowWeight = tune("BT_W", 0.45);
const double leastPhaseRatio = tune("BT_TAU", 1.15);
const double tightnessX = tune("BT_TIGHT", 100);
// Tempo states 1 % apart; a change of period by d (natural log) from one block to the next costs
// changeWeight * d * d, at most jumpCost; a period is decided 4 blocks after.
const double tempoResolution = 0.01;
const double changeWeight = tune("BT_CHW", 250), jumpCost = tune("BT_JUMP", 8);
const size_t decisionBlocks = size_t(tune("BT_LAG", 4));
const double leastComb = tune("BT_LEASTCOMB", 0.05);
// The beat's level: where the points halfway between the beats are at least 0.72 as salient as the
// beats, the beat is taken at twice the tempo (up to 200 a minute); where every other beat is less
// than 0.6 as salient as the others, at half the tempo (down to 60 a minute).
const double fasterLevelX = tune("BT_UP", 0.72), slowerLevel = tune("BT_DOWN", 0.6);
const double leastHeard = tune("BT_HEARDMIN", 0.5);
const double levelHysteresis = tune("BT_LHYST", 0.1);
const double keptPhaseRatio = tune("BT_TAUOUT", 1.0);
const double keptRegularity = tune("BT_REGOUT", 0.03);

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
const double preferredBpm = tune("BT_PREF", 115), preferredOctaves = tune("BT_OCT", 1.0);
// Where the strength repeats at half the period at least 0.65 as well as at the period, the
// beat is taken at twice the tempo, up to 190 a minute.
const double fasterLevel = fasterLevelX, fastestTappedBpm = 200;
const double shortestTappedSteps = 60 / fastestTappedBpm * stepsPerSecond;
// A period within 6 % of the last block's is kept rather than a little stronger one.
const double keptPeriodRatio = 0.06, keptPeriodWeight = 1.25;
// How much a beat loses for coming sooner or later than its period: tightness times the
// square of the natural log of the ratio (10 % early or late: 0.9 of a typical beat's strength).
const double tightness = tightnessX;
// A beat is kept where the beats around it (4 on each side) are at least as strong as the points
// halfway between them, half of them have an onset of aubio's within 35 ms, and the block repeats
// at its period by 0.1 (normalised autocorrelation) more than within a beat.
const int judgedBeats = int(tune("BT_JUDGE", 8));
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

// A second-order filter (Robert Bristow-Johnson's low and high pass, Q 1/sqrt(2)).
class BeatTracker::Biquad
{
public:
    Biquad(bool highPass, double cutoffHz)
    {
        const double w = 2 * M_PI * cutoffHz / musicRateHz, alpha = std::sin(w) / std::sqrt(2.0);
        const double c = std::cos(w), a0 = 1 + alpha;
        const double edge = highPass ? (1 + c) / 2 : (1 - c) / 2;
        b0 = float(edge / a0);
        b1 = float((highPass ? -2 * edge : 2 * edge) / a0);
        b2 = b0;
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
    Biquad low {false, 200}, midHigh {true, 200}, midLow {false, 2000}, high {true, 2000};
    std::array<float, bandCount> energy {};
    int frames = 0;
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
}

BeatTracker::~BeatTracker() = default;

void BeatTracker::feed(const char *music, qint64 bytes)
{
    for (qint64 at = 0; at + musicBytesPerFrame <= bytes; at += musicBytesPerFrame) {
        const int left = qFromLittleEndian<qint16>(music + at);
        const int right = qFromLittleEndian<qint16>(music + at + 2);
        const float sample = float(left + right) / 65536.0f;
        hop.push_back(sample);
        listenToBands(sample);
        if (hop.size() == stepFrames)
            analyseHop();
    }
    fed += bytes / musicBytesPerFrame;
    emphasise();
    estimateTempo();
    findPaths();
    settle();
}

// The loudness of the low, middle and high band over each 64 sample frames, where the beats' sounds
// are found to the millisecond.
void BeatTracker::listenToBands(float sample)
{
    Bands &b = *bands;
    const float low = b.low(sample), mid = b.midLow(b.midHigh(sample)), high = b.high(sample);
    b.energy[0] += low * low;
    b.energy[1] += mid * mid;
    b.energy[2] += high * high;
    if (++b.frames < int(envelopeFrames))
        return;
    for (float &energy : b.energy) {
        const float db = 10 * std::log10(1e-10f + energy / float(envelopeFrames));
        envelope.push_back(quint8(std::clamp((db + 100) * 2, 0.0f, 255.0f)));
        energy = 0;
    }
    b.frames = 0;
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
    // Low notes starting: how far the loudness below 130 Hz rises above its highest in the
    // last 46 ms, in dB.
    float low = 0;
    for (uint_t bin = 1; bin <= 3; ++bin)
        low += aubio->spectrum->norm[bin] * aubio->spectrum->norm[bin];
    const float lowDb = 10 * std::log10(1e-3f + low);
    loudestLowDb = std::max(loudestLowDb, lowDb);
    const float recent = *std::max_element(lowHistory.begin(), lowHistory.end());
    const float gate = std::clamp((lowDb - (loudestLowDb - 50)) / 50, 0.0f, 1.0f);
    rise.push_back(std::max(0.0f, lowDb - recent) * gate);
    lowHistory[flux.size() % lowHistory.size()] = lowDb;
    static std::FILE *dump = std::getenv("BEATDUMP") ? std::fopen(std::getenv("BEATDUMP"), "wb") : nullptr;
    if (dump) {
        float row[40 + 8 + 12] = {};
        for (uint_t band = 0; band < melBands; ++band)
            row[band] = std::log1p(aubio->bands->data[band]);
        for (int k = 0; k < 8; ++k)
            row[40 + k] = aubio->spectrum->norm[k + 1];
        for (uint_t k = 5; k < 300; ++k) {
            const double f = k * double(musicRateHz) / windowFrames;
            const int pc = (int(std::lround(12 * std::log2(f / 440))) % 12 + 12 + 9) % 12;
            row[48 + pc] += aubio->spectrum->norm[k];
        }
        std::fwrite(row, sizeof row, 1, dump);
        std::fflush(dump);
    }
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
// to the next costs as much as many blocks of a better score (Viterbi's algorithm). A block's
// period is decided once the blocks 4 s after it are scored.
void BeatTracker::estimateTempo()
{
    const size_t longestLag = size_t(4 * longestPeriodSteps) + 2;
    const size_t states = tempoStates();
    for (size_t block = scale.size();; ++block) {
        const size_t centre = block * blockSteps + blockSteps / 2;
        const size_t first = centre > tempoWindowSteps / 2 ? centre - tempoWindowSteps / 2 : 0;
        size_t last = centre + tempoWindowSteps / 2;
        if (last > strength.size()) {
            if (!ended || block * blockSteps >= strength.size())
                break;
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
        strengthMean.push_back(float(mean));
        riseScale.push_back(float(
            std::accumulate(rise.begin() + long(first), rise.begin() + long(last), 0.0)
            / double(length)));
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
        std::vector<float> fit(states), steadiness(states);
        for (size_t state = 0; state < states; ++state) {
            const double candidate = statePeriod(state);
            const double comb = at(candidate) + at(2 * candidate) / 2 + at(3 * candidate) / 3
                + at(4 * candidate) / 4;
            const double octaves
                = std::log2(candidate / (60 / preferredBpm * stepsPerSecond)) / preferredOctaves;
            fit[state] = float(std::log(std::max(comb, 0.0) + leastComb) - 0.5 * octaves * octaves);
            // How far the strength repeats at the period beyond how it does within a beat: a
            // slow swell repeats at every short lag alike, a beat only at its period.
            double within = 0;
            for (int part = 1; part <= 8; ++part)
                within += at(candidate * (0.1 + 0.1 * part)) / 8;
            steadiness[state] = float(at(candidate) - within);
        }
        // Viterbi's step: the best path of periods to each state of this block.
        std::vector<quint8> from(states);
        std::vector<float> next(states);
        for (size_t state = 0; state < states; ++state) {
            float best = -std::numeric_limits<float>::max();
            for (size_t before = 0; before < states && !tempoScore.empty(); ++before) {
                const float value = tempoScore[before] - changeCost(before, state);
                if (value > best) {
                    best = value;
                    from[state] = quint8(before);
                }
            }
            next[state] = fit[state] + (tempoScore.empty() ? 0 : best);
        }
        // Scores stay near zero: only their differences count.
        const float top = *std::max_element(next.begin(), next.end());
        for (float &value : next)
            value -= top;
        tempoScore = std::move(next);
        pendingFrom.push_back(std::move(from));
        pendingSteadiness.push_back(std::move(steadiness));
    }
    // The periods decided: those of the blocks 4 s before the last scored, or all at the end.
    const size_t undecided = pendingFrom.size();
    const size_t decide = ended ? undecided : undecided > decisionBlocks ? undecided - decisionBlocks : 0;
    if (decide == 0)
        return;
    size_t state = size_t(std::max_element(tempoScore.begin(), tempoScore.end()) - tempoScore.begin());
    std::vector<size_t> chosen(undecided);
    for (size_t i = undecided; i-- > 0;) {
        chosen[i] = state;
        state = pendingFrom[i][state];
    }
    for (size_t i = 0; i < decide; ++i) {
        period.push_back(float(statePeriod(chosen[i])));
        regularity.push_back(pendingSteadiness[i][chosen[i]]);
    }
    pendingFrom.erase(pendingFrom.begin(), pendingFrom.begin() + long(decide));
    pendingSteadiness.erase(pendingSteadiness.begin(), pendingSteadiness.begin() + long(decide));
}

size_t BeatTracker::tempoStates()
{
    return size_t(std::ceil(std::log(longestPeriodSteps / shortestPeriodSteps) / tempoResolution)) + 1;
}

double BeatTracker::statePeriod(size_t state)
{
    return shortestPeriodSteps * std::exp(double(state) * tempoResolution);
}

// What a change of period from one block to the next costs: little for a few per cent, at most
// that of a jump.
float BeatTracker::changeCost(size_t from, size_t to)
{
    const double change = (double(to) - double(from)) * tempoResolution;
    return float(std::min(changeWeight * change * change, jumpCost));
}

// The best path of beats to each step: the step's strength plus the best path to a beat half a
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
            + lowWeight * std::log1p(rise[n] / std::max(riseScale[block], 1e-9f));
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
    // Where the band whose loudness rises most around the beat (by 6 dB at least) is halfway up.
    const qint64 centre = frame / qint64(envelopeFrames);
    const qint64 first = centre - qint64(musicRateHz * 25 / 1000 / envelopeFrames);
    const qint64 last = centre + qint64(musicRateHz * 10 / 1000 / envelopeFrames);
    const qint64 floorBlocks = 15, peakBlocks = 8;
    const qint64 blocks = qint64(envelope.size() / bandCount);
    if (first < floorBlocks || last + peakBlocks >= blocks)
        return frame;
    double bestRise = 6 * 2; // in half dB
    qint64 onset = -1;
    for (size_t band = 0; band < bandCount; ++band) {
        const auto level = [&](qint64 block) { return int(envelope[size_t(block) * bandCount + band]); };
        std::array<int, floorBlocks> before {};
        for (qint64 i = 0; i < floorBlocks; ++i)
            before[size_t(i)] = level(first - floorBlocks + i + 1);
        std::nth_element(before.begin(), before.begin() + floorBlocks / 2, before.end());
        const int floor = before[floorBlocks / 2];
        int peak = floor;
        for (qint64 block = first; block < last + peakBlocks; ++block)
            peak = std::max(peak, level(block));
        if (peak - floor < bestRise)
            continue;
        for (qint64 block = first; block < last + peakBlocks; ++block) {
            if (2 * (level(block) - floor) >= peak - floor) {
                bestRise = peak - floor;
                onset = block * qint64(envelopeFrames);
                break;
            }
        }
    }
    return onset >= 0 ? onset : frame;
}

std::vector<qint64> BeatTracker::beats() const
{
    const std::vector<size_t> steps = path();
    // The salience at a step (its peak within a step).
    const auto peak = [&](double step) {
        const size_t at = size_t(std::lround(step));
        float most = 0;
        for (size_t n = at > 0 ? at - 1 : 0; n <= at + 1 && n < salience.size(); ++n)
            most = std::max(most, salience[n]);
        return double(most);
    };
    // Each beat's salience, and that of the points a quarter, half and three quarters of the
    // way to the next beat.
    std::vector<std::array<double, 4>> grid(steps.size());
    for (size_t i = 0; i < steps.size(); ++i) {
        const double from = double(steps[i]);
        const double to = i + 1 < steps.size() ? double(steps[i + 1])
                                               : from + double(period[steps[i] / blockSteps]);
        for (int part = 0; part < 4; ++part)
            grid[i][size_t(part)] = peak(from + (to - from) * part / 4);
    }
    // The step of the salience's peak within 2 steps of `step`.
    const auto peakStep = [&](double step) {
        size_t best = size_t(std::lround(step));
        for (size_t n = best > 2 ? best - 2 : 0; n <= size_t(std::lround(step)) + 2 && n < salience.size(); ++n)
            if (salience[n] > salience[best])
                best = n;
        return best;
    };
    // Each beat judged in order, on the beats around it; what was judged holds until the
    // evidence turns: a beat is kept once its phase is clear, and until another grid is at least
    // as salient; the level changes once the halfway points are nearly as salient as the beats
    // (twice the tempo) or every other beat is much weaker (half), and back once that is over.
    enum class Level { same, faster, slower };
    Level level = Level::same;
    bool keeping = false;
    size_t slowerParity = 0;
    std::vector<size_t> clear;
    for (size_t i = 0; i < steps.size(); ++i) {
        const size_t first = i > size_t(judgedBeats) ? i - judgedBeats : 0;
        const size_t last = std::min(steps.size(), i + judgedBeats + 1);
        std::array<double, 4> sums {};
        std::array<double, 2> parity {};
        size_t heard = 0;
        for (size_t j = first; j < last; ++j) {
            for (size_t part = 0; part < 4; ++part)
                sums[part] += grid[j][part];
            parity[j % 2] += grid[j][0];
            heard += grid[j][0] >= leastHeard;
        }
        const double beatSteps = double(period[steps[i] / blockSteps]);
        const double steady = double(regularity[steps[i] / blockSteps]);
        const double half = sums[0] > 0 ? sums[2] / sums[0] : 1;
        const double quarter = sums[0] > 0 ? std::max(sums[1], sums[3]) / sums[0] : 1;
        const double alike = std::min(parity[0], parity[1]) / std::max({parity[0], parity[1], 1e-9});
        const bool canFaster = beatSteps / 2 >= shortestTappedSteps;
        const bool canSlower = 2 * beatSteps <= longestPeriodSteps;
        // The level.
        if (level != Level::faster && canFaster && half >= fasterLevel)
            level = Level::faster;
        else if (level == Level::faster && (!canFaster || half < fasterLevel - levelHysteresis))
            level = Level::same;
        if (level == Level::same && canSlower && alike < slowerLevel) {
            level = Level::slower;
            slowerParity = parity[0] >= parity[1] ? 0 : 1;
        } else if (level == Level::slower && (!canSlower || alike > slowerLevel + levelHysteresis)) {
            level = Level::same;
        }
        // How much more salient the beats are than the other grids at their level.
        const double margin = level == Level::faster ? (sums[0] + sums[2]) / 2 / std::max({sums[1], sums[3], 1e-9})
            : level == Level::slower ? 1 / std::max(alike, 1e-9)
                                     : 1 / std::max(std::max(half, quarter), 1e-9);
        const bool heardEnough = 2 * heard >= last - first;
        if (!keeping)
            keeping = margin >= leastPhaseRatio && steady >= leastRegularity && heardEnough;
        else
            keeping = margin >= keptPhaseRatio && steady >= keptRegularity && heardEnough;
        if (std::getenv("BT_DEBUG"))
            std::fprintf(stderr, "beat %8.3f half %.2f quarter %.2f alike %.2f heard %zu/%zu reg %.2f period %.1f %s margin %.2f %s\n",
                         double(refined(steps[i])) / musicRateHz, half, quarter, alike, heard, last - first,
                         steady, beatSteps,
                         level == Level::faster ? "faster" : level == Level::slower ? "slower" : "same", margin, keeping ? "kept" : "");
        if (!keeping || (level == Level::slower && i % 2 != slowerParity))
            continue;
        clear.push_back(steps[i]);
        if (level == Level::faster && i + 1 < steps.size())
            clear.push_back(peakStep((double(steps[i]) + double(steps[i + 1])) / 2));
    }
    // The beats at an even pace: runs of at least 8 in which each interval is within 3 % of the
    // one before it.
    std::vector<qint64> steady;
    size_t start = 0;
    for (size_t i = 1; i <= clear.size(); ++i) {
        const bool goesOn = i < clear.size()
            && (i < start + 2
                || std::abs(double(clear[i]) - 2 * double(clear[i - 1]) + double(clear[i - 2]))
                    <= evenPace * double(clear[i] - clear[i - 2]));
        if (goesOn)
            continue;
        if (i - start >= minRunBeats) {
            for (size_t j = start; j < i; ++j) {
                const qint64 beat = refined(clear[j]);
                if (steady.empty() || beat > steady.back())
                    steady.push_back(beat);
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
    return !ownTiming && !path.isEmpty() && !isRawMusic(path);
}
