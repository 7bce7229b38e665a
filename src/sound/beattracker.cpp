#include "beattracker.h"

#include "musicbuffer.h"

#include <aubio/aubio.h>

#include <QThread>
#include <QtEndian>

#include <algorithm>
#include <cmath>
#include <limits>

#include <sys/resource.h>
#include <unistd.h>

namespace {

const uint_t windowFrames = 1024; // aubio's analysis window
const uint_t onsetHopFrames = 256; // 5.8 ms: where a hit starts
const uint_t tempoHopFrames = 512; // aubio's beat tracker steps by two onset hops
const double loudnessWindowFrames = 0.040 * musicRateHz; // a hit's loudness: its first 40 ms
const float notFoundDb = -100;
const double fastestBpm = 190, slowestBpm = 60;
const float quieterDb = 6; // every other beat this much quieter: they are the eighths
const double evenPace = 0.03; // a steady beat lies this close to halfway between its neighbours
const float runQuietestDb = 12; // a run follows hits at most this much quieter than its beats

float median(std::vector<float> values)
{
    if (values.empty())
        return notFoundDb;
    auto middle = values.begin() + values.size() / 2;
    std::nth_element(values.begin(), middle, values.end());
    return *middle;
}

} // namespace

struct BeatTracker::Aubio
{
    aubio_tempo_t *tempo = new_aubio_tempo("default", windowFrames, tempoHopFrames, musicRateHz);
    aubio_onset_t *onset = new_aubio_onset("kl", windowFrames, onsetHopFrames, musicRateHz);
    fvec_t *tempoIn = new_fvec(tempoHopFrames);
    fvec_t *onsetIn = new_fvec(onsetHopFrames);
    fvec_t *out = new_fvec(1);
    uint_t tempoFilled = 0;

    Aubio() { aubio_onset_set_threshold(onset, 0.1f); }
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
    hopPower.push_back(float(power / hop.size()));

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
            rawBeats.push_back(
                {aubio_tempo_get_last(aubio->tempo), aubio_tempo_get_period(aubio->tempo)});
    }
    hop.clear();
}

float BeatTracker::loudnessDb(qint64 frame) const
{
    const qint64 first = std::max<qint64>(0, frame / onsetHopFrames);
    const qint64 last = std::min<qint64>(
        hopPower.size(),
        first + std::max<qint64>(1, qint64(loudnessWindowFrames / onsetHopFrames)));
    if (first >= last)
        return notFoundDb;
    double sum = 0;
    for (qint64 i = first; i < last; ++i)
        sum += hopPower[size_t(i)];
    return float(10 * std::log10(sum / double(last - first) + 1e-10));
}

BeatTracker::Hit BeatTracker::hitNear(double expected, double reach, float quietestDb) const
{
    Hit best {qint64(std::llround(expected)), notFoundDb, false};
    float bestScore = -1e9f;
    for (auto onset = std::lower_bound(onsets.begin(), onsets.end(), qint64(expected - reach));
         onset != onsets.end() && *onset <= expected + reach; ++onset) {
        const float loudness = loudnessDb(*onset);
        // The loudest, unless a hit nearly as loud lies much nearer.
        const float score = loudness - 20 * float(std::abs(*onset - expected) / reach);
        if (loudness >= quietestDb && score > bestScore) {
            bestScore = score;
            best = {*onset, loudness, true};
        }
    }
    return best;
}

// aubio's beats, their gaps filled at its period, and halved: each point on the loudest hit near
// it.
std::vector<BeatTracker::Hit> BeatTracker::grid() const
{
    std::vector<double> points;
    for (size_t i = 0; i < rawBeats.size(); ++i) {
        const double at = double(rawBeats[i].frame);
        if (i == 0) {
            points.push_back(at);
            continue;
        }
        const double before = points.back();
        const double gap = at - before;
        const int halves = std::max(1, int(std::lround(2 * gap / rawBeats[i].periodFrames)));
        for (int j = 1; j <= halves; ++j)
            points.push_back(before + gap * j / halves);
    }
    std::vector<Hit> hits;
    for (size_t i = 0; i < points.size(); ++i) {
        const size_t previous = i > 0 ? i - 1 : i;
        const size_t next = i + 1 < points.size() ? i + 1 : i;
        const double spacing
            = (points[next] - points[previous]) / std::max<size_t>(1, next - previous);
        hits.push_back(hitNear(points[i], 0.4 * spacing));
    }
    return hits;
}

// Every other beat goes for as long as they come faster than a listener taps them, or every other
// one is much quieter than its neighbours. The louder half stays: of the beats, those with the
// most loudness in all that are two apart, where the grid may slip by one now and then.
std::vector<BeatTracker::Hit> BeatTracker::chooseLevel(std::vector<Hit> beats)
{
    for (int round = 0; round < 3 && beats.size() >= 8; ++round) {
        const int n = int(beats.size());
        const auto loudness = [&](int i) { return std::max(beats[size_t(i)].loudnessDb, -60.0f); };
        std::vector<float> contrast(size_t(n), 0.0f);
        for (int i = 1; i + 1 < n; ++i)
            contrast[size_t(i)] = std::abs(loudness(i) - (loudness(i - 1) + loudness(i + 1)) / 2);
        // Whether to halve is decided around each beat, over the 8 before and after it.
        std::vector<bool> halve(size_t(n), false);
        bool halving = false;
        for (int i = 0; i < n; ++i) {
            const int first = std::max(0, i - 8), last = std::min(n - 1, i + 8);
            const double bpm = 60.0 * musicRateHz * (last - first)
                / std::max(1.0, double(beats[size_t(last)].frame - beats[size_t(first)].frame));
            const float alternation
                = median(std::vector<float>(contrast.begin() + first, contrast.begin() + last + 1));
            halve[size_t(i)]
                = bpm / 2 >= slowestBpm && (bpm > fastestBpm || alternation > quieterDb);
            halving = halving || halve[size_t(i)];
        }
        if (!halving)
            break;
        // best[i]: the most loudness above the average around of beats two apart ending at i, a
        // slip costing 10 dB.
        const float slipDb = 10;
        std::vector<float> best(size_t(n), 0.0f);
        std::vector<int> from(size_t(n), -1);
        for (int i = 0; i < n; ++i) {
            float around = 0;
            const int first = std::max(0, i - 4), last = std::min(n - 1, i + 4);
            for (int j = first; j <= last; ++j)
                around += loudness(j) / float(last - first + 1);
            float before = 0;
            for (const int step : {2, 1, 3}) {
                const float total
                    = i - step < 0 ? 0 : best[size_t(i - step)] - (step == 2 ? 0 : slipDb);
                if (total > before) {
                    before = total;
                    from[size_t(i)] = i - step;
                }
            }
            best[size_t(i)] = before + loudness(i) - around;
        }
        std::vector<bool> louder(size_t(n), false);
        for (int i = best[size_t(n - 1)] >= best[size_t(n - 2)] ? n - 1 : n - 2; i >= 0;
             i = from[size_t(i)])
            louder[size_t(i)] = true;
        std::vector<Hit> kept;
        for (int i = 0; i < n; ++i) {
            if (louder[size_t(i)] || !halve[size_t(i)])
                kept.push_back(beats[size_t(i)]);
        }
        beats = std::move(kept);
    }
    return beats;
}

// The beats on hits at an even pace: each within 3 % of halfway between its neighbours, with most
// of the 8 around it so too.
std::vector<qint64> BeatTracker::keepSteady(const std::vector<Hit> &beats)
{
    const int n = int(beats.size());
    std::vector<bool> even(size_t(n), false);
    for (int i = 1; i + 1 < n; ++i) {
        const double before = double(beats[size_t(i - 1)].frame);
        const double after = double(beats[size_t(i + 1)].frame);
        const double halfway = (before + after) / 2;
        even[size_t(i)] = beats[size_t(i)].found
            && std::abs(double(beats[size_t(i)].frame) - halfway) < evenPace * (after - halfway);
    }
    std::vector<qint64> steady;
    for (int i = 0; i < n; ++i) {
        int evenAround = 0, around = 0;
        for (int j = std::max(0, i - 4); j <= std::min(n - 1, i + 4); ++j, ++around)
            evenAround += even[size_t(j)];
        const bool between = i > 0 && i + 1 < n && even[size_t(i - 1)] && even[size_t(i + 1)]
            && beats[size_t(i)].found;
        if ((even[size_t(i)] && evenAround >= 0.75 * around) || between)
            steady.push_back(beats[size_t(i)].frame);
    }
    return steady;
}

// Each run of steady beats, followed forwards and backwards at its pace over the hits that go on
// at it, nearly as loud as its own, until two are missing or the next run is reached.
std::vector<qint64> BeatTracker::followRuns(const std::vector<qint64> &steady) const
{
    // Runs at an even pace: a new one starts where the pace changes by half.
    std::vector<std::vector<qint64>> runs;
    for (size_t i = 0; i < steady.size(); ++i) {
        const double ratio = i >= 2
            ? double(steady[i] - steady[i - 1]) / double(steady[i - 1] - steady[i - 2])
            : 1;
        if (i == 0 || ratio > 1.5 || ratio < 1 / 1.5)
            runs.emplace_back();
        runs.back().push_back(steady[i]);
    }
    // Runs of at least four beats, at a pace a listener taps.
    const auto tapped = [](const std::vector<qint64> &run) {
        if (run.size() < 4)
            return false;
        const double bpm
            = 60.0 * musicRateHz * double(run.size() - 1) / double(run.back() - run.front());
        return bpm >= slowestBpm * 0.9 && bpm <= fastestBpm * 1.1;
    };
    runs.erase(std::remove_if(runs.begin(), runs.end(),
                              [&](const std::vector<qint64> &run) { return !tapped(run); }),
               runs.end());
    std::vector<qint64> beats;
    for (size_t k = 0; k < runs.size(); ++k) {
        std::vector<qint64> &run = runs[k];
        std::vector<float> loudness;
        for (const qint64 beat : run)
            loudness.push_back(loudnessDb(beat));
        const float quietest = median(loudness) - runQuietestDb;
        const double from = k > 0 ? double(runs[k - 1].back()) : 0;
        const double to = k + 1 < runs.size() ? double(runs[k + 1].front()) : double(fed);
        for (const int direction : {1, -1}) {
            std::vector<bool> found;
            int missing = 0;
            for (;;) {
                const qint64 last = direction > 0 ? run.back() : run.front();
                const qint64 before = direction > 0 ? run[run.size() - 2] : run[1];
                const double period = double(last - before);
                const double expected = double(last) + period;
                if (expected > to - 0.5 * std::abs(period)
                    || expected < from + 0.5 * std::abs(period))
                    break;
                const Hit hit = hitNear(expected, 0.25 * std::abs(period), quietest);
                missing = hit.found ? 0 : missing + 1;
                if (missing == 2)
                    break;
                if (direction > 0)
                    run.push_back(hit.frame);
                else
                    run.insert(run.begin(), hit.frame);
                found.push_back(hit.found);
            }
            // A run ends on a hit.
            for (; !found.empty() && !found.back(); found.pop_back()) {
                if (direction > 0)
                    run.pop_back();
                else
                    run.erase(run.begin());
            }
        }
        beats.insert(beats.end(), run.begin(), run.end());
    }
    return beats;
}

std::vector<qint64> BeatTracker::beats() const
{
    return followRuns(keepSteady(chooseLevel(grid())));
}

BeatFinder::BeatFinder(const MusicBuffer &loaded) : music(loaded)
{
    thread.reset(QThread::create([this] { run(); }));
    thread->start();
}

BeatFinder::~BeatFinder()
{
    stopping.store(true, std::memory_order_release);
    thread->wait();
}

void BeatFinder::run()
{
    // Below the loader, which itself yields to the window and the sound.
    constexpr int finderNiceness = 15;
    setpriority(PRIO_PROCESS, gettid(), finderNiceness);
    BeatTracker tracker;
    std::vector<char> piece(static_cast<size_t>(musicBytesPerSecond));
    qint64 position = 0;
    // The beats are handed over after 30 s of music, and then whenever the music analysed has
    // doubled: all the work of finding them, done again each time, costs at most twice the last.
    qint64 handOverAtFrames = 30 * musicRateHz;
    while (!stopping.load(std::memory_order_acquire)) {
        const bool ended = music.hasEnded();
        const qint64 got = music.read(position, piece.data(), qint64(piece.size()));
        if (got > 0) {
            tracker.feed(piece.data(), got);
            position += got;
            if (tracker.fedFrames() >= handOverAtFrames) {
                handOver(tracker, false);
                handOverAtFrames *= 2;
            }
        } else if (ended) {
            handOver(tracker, true);
            return;
        } else {
            QThread::msleep(20);
        }
    }
}

void BeatFinder::handOver(const BeatTracker &tracker, bool finished)
{
    const qint64 settledFrames
        = finished ? tracker.fedFrames() : tracker.fedFrames() - BeatTracker::unsettledFrames;
    std::vector<qint64> found;
    for (const qint64 beat : tracker.beats()) {
        if (beat < settledFrames)
            found.push_back(framesToNs(beat));
    }
    {
        const std::lock_guard<std::mutex> hold(handed);
        beatsNs = std::move(found);
        knownNs = finished ? std::numeric_limits<qint64>::max() : framesToNs(settledFrames);
    }
    handovers.fetch_add(1, std::memory_order_acq_rel);
}

std::vector<qint64> BeatFinder::beats(qint64 *knownUntilNs) const
{
    const std::lock_guard<std::mutex> hold(handed);
    *knownUntilNs = knownNs;
    return beatsNs;
}
