#include "beattracker.h"

#include <aubio/aubio.h>

#include <QtEndian>

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

const uint_t windowFrames = 1024; // aubio's analysis window
const uint_t onsetHopFrames = 256; // 5.8 ms: where a hit starts
const uint_t tempoHopFrames = 512; // aubio's beat tracker steps by two onset hops
const smpl_t onsetThreshold = 0.3f; // aubio's "hfc" onsets: the drums' hits, not the pad's swell
const qint64 loudnessFrames = musicRateHz * 40 / 1000; // a hit's loudness: its first 40 ms
const qint64 aroundFrames = 2 * musicRateHz; // a hit is weighed against those 2 s around it
const qint64 agreeFrames = musicRateHz * 35 / 1000; // aubio's beat this near marks a hit
const double fastestBpm = 190, slowestBpm = 60;
const double shortestBeatFrames = 60.0 / (fastestBpm * 1.05) * musicRateHz;
const double longestBeatFrames = 60.0 / (slowestBpm * 0.95) * musicRateHz;

// What a chain of beats gains and pays, in dB of loudness: each beat gains its hit's loudness
// above the hits around it, a little more so that of two even chains the one with more beats
// wins, and more where aubio's beat tracker agrees. Starting a chain, and a beat without a hit
// (the beat after it twice as far), cost; a change of pace costs tempoChangeDb times its square
// in natural log: 1 dB for 5 %, 3.8 dB for 10 %.
const float beatBonusDb = 2, trackedBonusDb = 3;
const float startDb = 8, missingDb = 4;
const double tempoChangeDb = 420;
// Beats are kept in runs of at least 8 at an even pace, each interval within 3 % of the last.
const double evenPace = 0.03;
const size_t minRunBeats = 8;

} // namespace

struct BeatTracker::Aubio
{
    aubio_tempo_t *tempo = new_aubio_tempo("default", windowFrames, tempoHopFrames, musicRateHz);
    aubio_onset_t *onset = new_aubio_onset("hfc", windowFrames, onsetHopFrames, musicRateHz);
    fvec_t *tempoIn = new_fvec(tempoHopFrames);
    fvec_t *onsetIn = new_fvec(onsetHopFrames);
    fvec_t *out = new_fvec(1);
    uint_t tempoFilled = 0;

    Aubio() { aubio_onset_set_threshold(onset, onsetThreshold); }
    ~Aubio()
    {
        del_aubio_tempo(tempo);
        del_aubio_onset(onset);
        del_fvec(tempoIn);
        del_fvec(onsetIn);
        del_fvec(out);
    }
};

BeatTracker::BeatTracker() : aubio(std::make_unique<Aubio>())
{
    hop.reserve(onsetHopFrames);
}

BeatTracker::~BeatTracker() = default;

void BeatTracker::feed(const char *music, qint64 bytes)
{
    for (qint64 at = 0; at + musicBytesPerFrame <= bytes; at += musicBytesPerFrame) {
        const int left = qFromLittleEndian<qint16>(music + at);
        const int right = qFromLittleEndian<qint16>(music + at + 2);
        hop.push_back(float(left + right) / 65536.0f);
        if (hop.size() == onsetHopFrames)
            analyseHop();
    }
    fed += bytes / musicBytesPerFrame;
}

void BeatTracker::analyseHop()
{
    double power = 0;
    for (const float sample : hop)
        power += double(sample) * sample;
    hopPower.push_back(float(power / double(hop.size())));

    std::copy(hop.begin(), hop.end(), aubio->onsetIn->data);
    aubio_onset_do(aubio->onset, aubio->onsetIn, aubio->out);
    if (aubio->out->data[0] != 0)
        onsets.push_back(aubio_onset_get_last(aubio->onset));

    std::copy(hop.begin(), hop.end(), aubio->tempoIn->data + aubio->tempoFilled);
    aubio->tempoFilled += onsetHopFrames;
    if (aubio->tempoFilled == tempoHopFrames) {
        aubio->tempoFilled = 0;
        aubio_tempo_do(aubio->tempo, aubio->tempoIn, aubio->out);
        if (aubio->out->data[0] != 0)
            trackedBeats.push_back(aubio_tempo_get_last(aubio->tempo));
    }
    hop.clear();
}

float BeatTracker::loudnessDb(qint64 frame) const
{
    const size_t first = size_t(std::max<qint64>(0, frame / onsetHopFrames));
    const size_t last = std::min(
        hopPower.size(), first + size_t(std::max<qint64>(1, loudnessFrames / onsetHopFrames)));
    double sum = 0;
    for (size_t i = first; i < last; ++i)
        sum += double(hopPower[i]);
    return float(10 * std::log10(sum / double(std::max<size_t>(1, last - first)) + 1e-10));
}

// Each hit, and what it gains as a beat.
std::vector<BeatTracker::Hit> BeatTracker::hits() const
{
    std::vector<float> loudness;
    for (const qint64 onset : onsets)
        loudness.push_back(loudnessDb(onset));
    std::vector<Hit> hits;
    size_t first = 0, last = 0;
    double aroundDb = 0;
    auto tracked = trackedBeats.begin();
    for (size_t i = 0; i < onsets.size(); ++i) {
        for (; onsets[first] < onsets[i] - aroundFrames; ++first)
            aroundDb -= double(loudness[first]);
        for (; last < onsets.size() && onsets[last] <= onsets[i] + aroundFrames; ++last)
            aroundDb += double(loudness[last]);
        float gainDb = loudness[i] - float(aroundDb / double(last - first)) + beatBonusDb;
        for (; tracked != trackedBeats.end() && *tracked < onsets[i] - agreeFrames; ++tracked) { }
        if (tracked != trackedBeats.end() && *tracked <= onsets[i] + agreeFrames)
            gainDb += trackedBonusDb;
        hits.push_back({onsets[i], gainDb});
    }
    return hits;
}

// The chains of hits that gain the most as beats, found by dynamic programming over pairs of
// successive beats: each beat 60 to 190 a minute after the one before it, or twice that with a beat
// without a hit between them.
std::vector<qint64> BeatTracker::chains(const std::vector<Hit> &hits)
{
    // The beat on hit `to` comes `beats` (1 or 2) beats after the one on hit `from`: the best
    // chain that ends so, and the step before it (none where the chain starts at `from`).
    struct Step
    {
        size_t from;
        int beats;
        float score;
        int before;
    };
    const auto time = [&](size_t hit) { return double(hits[hit].frame); };
    std::vector<std::vector<Step>> steps(hits.size());
    // The best chains that have ended by each hit: their score and their last step.
    std::vector<float> bestScore(hits.size() + 1, 0.0f); // one later: 0 before the first hit
    std::vector<std::pair<size_t, int>> bestEnd(hits.size() + 1, {0, -1});
    size_t first = 0;
    for (size_t to = 0; to < hits.size(); ++to) {
        for (; time(first) < time(to) - 2 * longestBeatFrames; ++first) { }
        for (size_t from = first; from < to; ++from) {
            for (int beats = 1; beats <= 2; ++beats) {
                const double period = (time(to) - time(from)) / beats;
                if (period < shortestBeatFrames || period > longestBeatFrames)
                    continue;
                const float gain = hits[to].gainDb - (beats == 2 ? missingDb : 0.0f);
                Step step {from, beats, bestScore[from] - startDb + hits[from].gainDb + gain, -1};
                const std::vector<Step> &into = steps[from];
                for (size_t k = 0; k < into.size(); ++k) {
                    const double before = (time(from) - time(into[k].from)) / into[k].beats;
                    const double change = std::log(period / before);
                    const float score
                        = into[k].score + gain - float(tempoChangeDb * change * change);
                    if (score > step.score) {
                        step.score = score;
                        step.before = int(k);
                    }
                }
                steps[to].push_back(step);
            }
        }
        bestScore[to + 1] = bestScore[to];
        bestEnd[to + 1] = bestEnd[to];
        for (size_t k = 0; k < steps[to].size(); ++k) {
            if (steps[to][k].score > bestScore[to + 1]) {
                bestScore[to + 1] = steps[to][k].score;
                bestEnd[to + 1] = {to, int(k)};
            }
        }
    }
    // Back from the best end: the chains' beats, latest first.
    std::vector<qint64> beats;
    for (auto [to, k] = bestEnd.back(); k >= 0;) {
        const Step &step = steps[to][size_t(k)];
        beats.push_back(hits[to].frame);
        if (step.beats == 2)
            beats.push_back((hits[to].frame + hits[step.from].frame) / 2);
        if (step.before >= 0) {
            to = step.from;
            k = step.before;
        } else {
            beats.push_back(hits[step.from].frame);
            std::tie(to, k) = bestEnd[step.from];
        }
    }
    std::reverse(beats.begin(), beats.end());
    return beats;
}

// The beats at an even pace: runs of at least 8 in which each interval is within 3 % of the one
// before it.
std::vector<qint64> BeatTracker::keepSteady(const std::vector<qint64> &beats)
{
    std::vector<qint64> steady;
    size_t start = 0;
    for (size_t i = 1; i <= beats.size(); ++i) {
        const bool goesOn = i < beats.size()
            && (i < start + 2
                || std::abs(double(beats[i] - 2 * beats[i - 1] + beats[i - 2]))
                    <= evenPace * double(beats[i] - beats[i - 2]));
        if (goesOn)
            continue;
        if (i - start >= minRunBeats) {
            for (size_t j = start; j < i; ++j) {
                if (steady.empty() || beats[j] > steady.back())
                    steady.push_back(beats[j]);
            }
        }
        start = i - 1;
    }
    return steady;
}

std::vector<qint64> BeatTracker::beats() const
{
    return keepSteady(chains(hits()));
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
