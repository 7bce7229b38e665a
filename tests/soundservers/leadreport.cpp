// leadreport: the numbers of the sound-server test.
//
//   leadreport music SECONDS FILE
//     Writes a music.raw of that length that is never silent and never repeats (noise from a
//     fixed seed), so that every stretch of it can be found in a recording.
//
//   leadreport launch DIR LABEL...
//     Reads one launch's files from DIR (music.raw, recording.raw and chunks.txt from the
//     monitor recorder, frames.log from frameprobe, callbacks.log from the callback logger, status
//     with the demo's exit status) and prints one line: LABEL..., the SDL library the demo
//     loaded (SDL-1.2.15, the classic library, or sdl12-compat-1.2.N), then key=value pairs:
//       lead     median over the rise's frames of (when music position p reached the sink's
//                monitor) - (the refresh at which a viewer saw the frame of scene time p + 20 s),
//                ms; positive: the picture is ahead of the music
//       arrival  the same with the moment each frame reached the X server
//       seen     frames of the rise a viewer saw / frames of the rise that reached the server
//       music    "intact" when all of music.raw is in the recording byte for byte; "dropouts@"
//                and where, when it is but for silence the sound path put in where a request came
//                late (see dropoutsAtLateRequests); "resampled" when it is whole and in order at a
//                rate a little off, "resampled-whole-to-" and where when it is so up to there (see
//                resampledWholeBytes); else how it differs (see compareMusic)
//       exit     the demo's exit status
//       sound, first    when the music reached the monitor and the first frame the server, ms
//                       after the audio device was opened
//       queue    what the device held right after a request around the rise: the music handed
//                over by then minus the music at the monitor (median, ms)
//       callbacks       SDL's calls of the audio callback: the buffer length, the calls made at
//                       once at the start, then pauses of more than 30 ms (at ms after the
//                       opening: length), and the usual interval
//       thread   how the thread that calls the callback was scheduled: "rr1" (real-time, round
//                robin, at priority 1), "nice-15", "nice0"
//
//   leadreport sound RECORDING REFERENCE [MIN_SNR_DB]
//     Finds the reference sound in the recording and says how closely the recording holds it:
//     "bit-exact", or its signal-to-noise ratio in dB at the best alignment. REFERENCE is the
//     sound itself (*.raw) or a song, whose reference decode (songreference.h) it then is. Exits 0
//     when the recording is at least MIN_SNR_DB clear; without it, bit-exact for a sound, within
//     the tolerance of songs for a song.
//
//   leadreport table RESULTS
//     Reads the lines of `launch` (labelled SERVER STATE SIZE, and the library) and prints a
//     table: per server, state, size and library the median lead and the worst launch's, the median
//     at arrival, the ranges of `sound` and `first`, and how many launches had the music intact
//     (or but for dropouts at late requests, counted apart; resampled, behind PipeWire's tunnel)
//     and exit status 0. Exits 1 when a target is missed: lead within +-10 ms as a median and
//     +-30 ms in every launch (behind a network speaker, states "tunnel-...", +-15 and +-40 ms),
//     the music intact and exit status 0 in every launch, and at least 4 launches; behind a
//     speaker that publishes no delay ("...-unreported") only the exit status and the launches;
//     behind one that publishes its configured latency ("...-configured") all but the median.

#include "beatsong.h"
#include "musicsource.h"
#include "songreference.h"

#include <QByteArray>
#include <QFile>
#include <QMap>
#include <QStringList>
#include <QTextStream>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <vector>

namespace {

constexpr int bytesPerSecond = musicBytesPerSecond;
constexpr int bytesPerFrame = musicBytesPerFrame;
constexpr qint64 seekMs = 20000; // the probe's two Up presses
constexpr qint64 pauseUs = 30000; // a callback interval longer than this is a pause
constexpr double medianLimitMs = 10, launchLimitMs = 30;
// Behind a network speaker the clock counts a delay that the server reports, in snapshots that
// wander by some 10 ms.
constexpr double farMedianLimitMs = 15, farLaunchLimitMs = 40;
constexpr int minimumLaunches = 4;

QList<QByteArray> lines(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll().split('\n');
}

QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

double median(std::vector<double> values)
{
    if (values.empty())
        return NAN;
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

int writeMusic(double seconds, const QString &path)
{
    QByteArray bytes(int(seconds * bytesPerSecond) / bytesPerFrame * bytesPerFrame,
                     Qt::Uninitialized);
    std::uint32_t state = 20240613;
    for (int i = 0; i < bytes.size(); i += 2) {
        state = state * 1664525u + 1013904223u;
        const qint16 sample = qint16(int(state >> 16) % 60001 - 30000); // +-30000, full scale
        bytes[i] = char(sample & 0xff);
        bytes[i + 1] = char((sample >> 8) & 0xff);
    }
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size()) {
        std::fprintf(stderr, "leadreport: cannot write %s\n", qPrintable(path));
        return 1;
    }
    return 0;
}

// Where music byte `musicOffset` begins in the recording (frame aligned), if it is there.
std::optional<qint64> locate(const QByteArray &recording, const QByteArray &music,
                             qint64 musicOffset)
{
    const QByteArray needle = music.mid(int(musicOffset), 4096);
    for (int at = recording.indexOf(needle); at >= 0; at = recording.indexOf(needle, at + 1)) {
        if (at % bytesPerFrame == 0)
            return at - musicOffset;
    }
    return std::nullopt;
}

qint16 sampleAt(const QByteArray &sound, qint64 index)
{
    qint16 sample = 0;
    std::memcpy(&sample, sound.constData() + 2 * index, 2);
    return sample;
}

// Where music byte `musicOffset` lies in a recording of it resampled by a rate a little off (a
// tunnel that adapts its rate to what it holds): the recording's byte within `radius` bytes of
// `guess` (all frame aligned) where the 10 ms of music from there match best, if they match well:
// about as loud, and alike (normalised cross-correlation, 1 for the same sound; the music is
// noise, which matches nowhere else).
std::optional<qint64> locateResampled(const QByteArray &recording, const QByteArray &music,
                                      qint64 musicOffset, qint64 guess, qint64 radius)
{
    constexpr qint64 samples = bytesPerSecond / 100 / 2;
    constexpr double alike = 0.5; // half a sample off, resampled noise still correlates by 0.64
    // Of the music's energy: a resampler takes some 20 % of the noise's (its highest
    // frequencies); 3 ms of silence would take 30 % more.
    constexpr double quietest = 0.65, loudest = 1.25;
    if (musicOffset + 2 * samples > music.size())
        return std::nullopt;
    double best = alike;
    std::optional<qint64> found;
    const qint64 last = std::min(guess + radius, qint64(recording.size()) - 2 * samples);
    for (qint64 at = std::max<qint64>(0, guess - radius); at <= last; at += bytesPerFrame) {
        double rm = 0, rr = 0, mm = 0;
        for (qint64 i = 0; i < samples; ++i) {
            const double r = sampleAt(recording, at / 2 + i);
            const double m = sampleAt(music, musicOffset / 2 + i);
            rm += r * m, rr += r * r, mm += m * m;
        }
        const double correlation = rr > 0 ? rm / std::sqrt(rr * mm) : 0;
        if (correlation > best && rr >= quietest * mm && rr <= loudest * mm)
            best = correlation, found = at;
    }
    return found;
}

// How much of the music a resampled recording holds whole and in order from its byte `start` on
// (bytes of music; all of it when it is whole): every 10 ms of it after the first (which the sound
// path may fade in) within half a millisecond of where the 10 ms before ended, so at a rate within
// 5 % of the music's, nothing left out and no silence put in.
qint64 resampledWholeBytes(const QByteArray &music, const QByteArray &recording, qint64 start)
{
    constexpr qint64 blockBytes = bytesPerSecond / 100;
    constexpr qint64 slackBytes = bytesPerSecond / 2000 / bytesPerFrame * bytesPerFrame;
    qint64 at = start + blockBytes;
    for (qint64 from = blockBytes; from + blockBytes <= music.size(); from += blockBytes) {
        const std::optional<qint64> found = locateResampled(recording, music, from, at, slackBytes);
        if (!found)
            return from;
        at = *found + blockBytes;
    }
    return music.size();
}

struct Chunk
{
    qint64 arrivalUs;
    qint64 total; // bytes received up to and with this chunk
};

// The music as the monitor recorded it: where it lies and when each byte arrived.
struct Recording
{
    QByteArray bytes;
    std::vector<Chunk> chunks;

    qint64 arrivalOf(qint64 byte) const
    {
        const auto chunk = std::upper_bound(chunks.begin(), chunks.end(), byte,
                                            [](qint64 b, const Chunk &c) { return b < c.total; });
        return chunk == chunks.end() ? -1 : chunk->arrivalUs;
    }
};

// The monitor recorder's RECORDING and CHUNKS, DIR/recordingSUFFIX.raw and DIR/chunksSUFFIX.txt.
Recording readRecording(const QString &dir, const QString &suffix = QString())
{
    Recording recording;
    recording.bytes = contents(dir + "/recording" + suffix + ".raw");
    for (const QByteArray &line : lines(dir + "/chunks" + suffix + ".txt")) {
        const QList<QByteArray> f = line.split(' ');
        if (f.size() == 2)
            recording.chunks.push_back({f[0].toLongLong(), f[1].toLongLong()});
    }
    return recording;
}

// "intact", or how the recorded music differs, given where it lies in the recording: cut short,
// differing from some point on, its start silenced (or otherwise different), or recorded too late
// to tell (the recording began after the music had started: the test's fault, not the demo's).
QString compareMusic(const QByteArray &music, const Recording &recording, qint64 start)
{
    if (start < 0)
        return QStringLiteral("recording-began-%1ms-late").arg(-start * 1000 / bytesPerSecond);
    const qint64 available = std::min<qint64>(music.size(), recording.bytes.size() - start);
    const char *recorded = recording.bytes.constData() + start;
    qint64 same = 0;
    while (same < available && recorded[same] == music[int(same)])
        ++same;
    if (same == music.size())
        return QStringLiteral("intact");
    if (same == available)
        return QStringLiteral("cut-at-%1s").arg(double(available) / bytesPerSecond, 0, 'f', 3);
    if (same > 0)
        return QStringLiteral("differs-from-%1s").arg(double(same) / bytesPerSecond, 0, 'f', 3);
    // The start differs: how long for, and whether it is silence.
    qint64 differing = 0;
    bool silent = true;
    while (differing < available && recorded[differing] != music[int(differing)]) {
        silent = silent && recorded[differing] == 0;
        ++differing;
    }
    const qint64 frames = (differing + bytesPerFrame - 1) / bytesPerFrame;
    return QStringLiteral("first-%1-frames-%2").arg(frames).arg(silent ? "silent" : "differ");
}

// Where the recorded music differs from music.raw only by silence that the sound path put in while
// the device's request for that music came late (its stream ran dry: silence inserted, or music
// lost and silence in its place), with the music going on in order after it: the times in the
// music at which those dropouts begin. None when the music differs in any other way, is cut short,
// falls silent where no request was late, or at its very start (no stream runs dry before it has
// played anything).
std::optional<QStringList> dropoutsAtLateRequests(const QByteArray &music,
                                                  const QByteArray &recording, qint64 start,
                                                  const std::vector<std::pair<qint64, int>> &calls)
{
    constexpr qint64 lateUs = 4000; // later than the usual interval by this much
    std::vector<qint64> intervals; // intervals[i]: from call i to call i + 1
    for (size_t i = 1; i < calls.size(); ++i)
        intervals.push_back(calls[i].first - calls[i - 1].first);
    if (intervals.empty() || start < 0)
        return std::nullopt;
    std::vector<qint64> sorted = intervals;
    std::nth_element(sorted.begin(), sorted.begin() + long(sorted.size() / 2), sorted.end());
    const qint64 usualUs = sorted[sorted.size() / 2];
    // Was the call that handed over `byte`, or one beside it, late?
    const auto lateAt = [&](qint64 byte) {
        size_t call = 0;
        for (qint64 handed = 0; call < calls.size() && handed + calls[call].second <= byte; ++call)
            handed += calls[call].second;
        for (size_t i = call >= 3 ? call - 3 : 0; i <= call + 1 && i < intervals.size(); ++i) {
            if (intervals[i] > usualUs + lateUs)
                return true;
        }
        return false;
    };
    QStringList dropouts;
    qint64 m = 0, r = start; // the music's byte and the recording's that should hold it
    while (m < music.size()) {
        if (r >= recording.size())
            return std::nullopt;
        if (recording[int(r)] == music[int(m)]) {
            ++m, ++r;
            continue;
        }
        const qint64 intoFrame = m % bytesPerFrame;
        m -= intoFrame, r -= intoFrame;
        qint64 silentEnd = r;
        while (silentEnd < recording.size() && recording[int(silentEnd)] == 0)
            ++silentEnd;
        silentEnd -= (silentEnd - r) % bytesPerFrame;
        const QByteArray after = recording.mid(int(silentEnd), 4096);
        const qint64 resumed = after.size() == 4096 ? music.indexOf(after, int(m)) : -1;
        if (m == 0 || silentEnd == r || resumed < 0 || resumed % bytesPerFrame != 0 || !lateAt(m))
            return std::nullopt;
        dropouts << QString::number(double(m) / bytesPerSecond, 'f', 3) + 's';
        m = resumed, r = silentEnd;
    }
    return dropouts;
}

struct Frame
{
    qint64 damagedUs, seenUs, scene;
    qint64 arrivalUs() const { return damagedUs; }
};

// The refresh clock: refresh n at offsetUs + n * periodUs (least squares over the MSC events).
struct RefreshClock
{
    double periodUs = 0, offsetUs = 0;
    bool valid() const { return periodUs > 0; }
    // The first refresh after t.
    double after(double tUs) const
    {
        return offsetUs + std::floor((tUs - offsetUs) / periodUs + 1) * periodUs;
    }
};

RefreshClock fitRefreshes(const std::vector<std::pair<double, double>> &mscUst)
{
    RefreshClock clock;
    const double n = double(mscUst.size());
    if (n < 10)
        return clock;
    double sx = 0, sy = 0, sxx = 0, sxy = 0;
    const double x0 = mscUst.front().first, y0 = mscUst.front().second;
    for (const auto &[msc, ust] : mscUst) {
        const double x = msc - x0, y = ust - y0;
        sx += x, sy += y, sxx += x * x, sxy += x * y;
    }
    clock.periodUs = (n * sxy - sx * sy) / (n * sxx - sx * sx);
    clock.offsetUs = y0 + (sy - clock.periodUs * sx) / n - clock.periodUs * x0;
    return clock;
}

// frameprobe's frames in DIR/frames.log, and the refresh clock fitted to its refreshes.
std::vector<Frame> readFrames(const QString &dir, RefreshClock *refresh)
{
    std::vector<Frame> frames;
    std::vector<std::pair<double, double>> refreshes;
    for (const QByteArray &line : lines(dir + "/frames.log")) {
        const QList<QByteArray> f = line.split(' ');
        if (f[0] == "frame" && f.size() == 4)
            frames.push_back({f[1].toLongLong(), f[2].toLongLong(), f[3].toLongLong()});
        else if (f[0] == "refresh" && f.size() == 3)
            refreshes.emplace_back(f[1].toDouble(), f[2].toDouble());
    }
    *refresh = fitRefreshes(refreshes);
    return frames;
}

QString signedMs(double ms)
{
    return std::isnan(ms) ? QStringLiteral("none") : QString::asprintf("%+.1f", ms);
}

// How SDL called the callback: buffer length, calls at once at the start, pauses, usual interval.
QString callbackPattern(const std::vector<std::pair<qint64, int>> &calls, qint64 openedUs)
{
    if (calls.empty())
        return QStringLiteral("none");
    size_t burst = 1;
    while (burst < calls.size() && calls[burst].first - calls[burst - 1].first < 2000)
        ++burst;
    QStringList pauses;
    qint64 steadyUs = 0; // time between calls, pauses left out
    for (size_t i = burst; i < calls.size(); ++i) {
        const qint64 gap = calls[i].first - calls[i - 1].first;
        if (gap > pauseUs)
            pauses << QStringLiteral("%1:%2")
                          .arg((calls[i - 1].first - openedUs) / 1000)
                          .arg(gap / 1000);
        else
            steadyUs += gap;
    }
    const size_t steadyCalls = calls.size() - burst;
    return QStringLiteral("%1B,%2-at-%3ms,pauses[%4],every-%5ms")
        .arg(calls.front().second)
        .arg(burst)
        .arg((calls.front().first - openedUs) / 1000)
        .arg(pauses.join(','))
        .arg(steadyCalls > 0 ? double(steadyUs) / 1000 / double(steadyCalls - pauses.size()) : 0, 0,
             'f', 2);
}

int reportLaunch(const QString &dir, const QStringList &label)
{
    const QByteArray music = contents(dir + "/music.raw");
    const Recording recording = readRecording(dir);
    if (music.isEmpty()) {
        std::fprintf(stderr, "leadreport: no music in %s\n", qPrintable(dir));
        return 1;
    }

    RefreshClock refresh;
    const std::vector<Frame> frames = readFrames(dir, &refresh);
    qint64 openedUs = -1;
    std::vector<std::pair<qint64, int>> calls;
    QString library = QStringLiteral("SDL-unknown");
    QByteArray thread = "unknown";
    for (const QByteArray &line : lines(dir + "/callbacks.log")) {
        const QList<QByteArray> f = line.split(' ');
        if (f[0] == "open" && f.size() >= 3)
            openedUs = f[1].toLongLong();
        else if (f[0] == "callback" && f.size() == 3)
            calls.emplace_back(f[1].toLongLong(), f[2].toInt());
        else if (f[0] == "thread" && f.size() == 4)
            thread = f[1] == "other" ? "nice" + f[3] : f[1] + f[2];
        else if (f[0] == "library" && f.size() == 2)
            library = QString::fromLatin1(f[1].startsWith("1.2.") && f[1].mid(4).toInt() >= 50
                                              ? "sdl12-compat-" + f[1]
                                              : "SDL-" + f[1]);
    }
    const QByteArray status = contents(dir + "/status").trimmed();

    // Where the music lies in the recording: found by its start, else by a later stretch (a
    // damaged start does not matter for the lead).
    std::optional<qint64> placed;
    for (const double at : {0.0, 0.1, 1.0, 2.4}) {
        placed
            = placed ? placed : locate(recording.bytes, music, qint64(at * bytesPerSecond) / 4 * 4);
    }
    // Not found byte for byte: a sound path that resamples, found by its sound (whole recording).
    const qint64 earlyByte = bytesPerSecond / 10 / bytesPerFrame * bytesPerFrame;
    if (!placed) {
        if (const auto at
            = locateResampled(recording.bytes, music, earlyByte, 0, recording.bytes.size()))
            placed = *at - earlyByte;
    }
    // The rise's music from where it lies itself, so that a dropout or a rate a little off before
    // it does not shift it. (frameprobe tells apart the scene times of the rise alone.)
    const auto rise = std::find_if(frames.begin(), frames.end(),
                                   [](const Frame &frame) { return frame.scene > seekMs; });
    const qint64 riseByte = rise == frames.end()
        ? 0
        : (rise->scene - seekMs) * bytesPerSecond / 1000 / bytesPerFrame * bytesPerFrame;
    std::optional<qint64> riseOrigin = placed ? locate(recording.bytes, music, riseByte) : placed;
    if (placed && !riseOrigin) {
        if (const auto at = locateResampled(recording.bytes, music, riseByte, *placed + riseByte,
                                            bytesPerSecond / 10))
            riseOrigin = *at - riseByte;
    }

    std::vector<double> leads, arrivals;
    int riseFrames = 0;
    for (size_t i = 0; i < frames.size(); ++i) {
        const Frame &frame = frames[i];
        // frameprobe tells apart the scene times of the rise alone: the others look alike.
        if (frame.scene <= 0 || !riseOrigin)
            continue;
        const qint64 positionMs = frame.scene - seekMs;
        const qint64 byte = *riseOrigin + positionMs * bytesPerSecond / 1000 / 4 * 4;
        if (positionMs < 0 || byte < 0)
            continue;
        const qint64 heardUs = recording.arrivalOf(byte);
        if (heardUs < 0)
            continue;
        ++riseFrames;
        arrivals.push_back(double(heardUs - frame.arrivalUs()) / 1000);
        if (!refresh.valid())
            continue;
        // Seen at the first refresh after it arrived, unless the next frame arrived before.
        const double shownUs = refresh.after(double(frame.arrivalUs()));
        if (i + 1 < frames.size() && double(frames[i + 1].arrivalUs()) < shownUs)
            continue;
        leads.push_back((double(heardUs) - shownUs) / 1000);
    }

    // What the device held right after a request, around the rise: the music handed over by then
    // minus the music that had reached the monitor (ms; the recorder's chunks make it up to a
    // chunk too high).
    std::vector<double> queues;
    qint64 handed = 0;
    for (const auto &[startUs, length] : calls) {
        handed += length;
        if (!placed || recording.chunks.empty())
            break;
        const auto chunk
            = std::upper_bound(recording.chunks.begin(), recording.chunks.end(), startUs,
                               [](qint64 t, const Chunk &c) { return t < c.arrivalUs; });
        const qint64 heard
            = (chunk == recording.chunks.begin() ? 0 : std::prev(chunk)->total) - *placed;
        if (heard >= qint64(2.3 * bytesPerSecond) && heard <= qint64(2.7 * bytesPerSecond))
            queues.push_back(double(handed - heard) * 1000 / bytesPerSecond);
    }

    QString musicState
        = placed ? compareMusic(music, recording, *placed) : QStringLiteral("not-found");
    if (placed && musicState != "intact" && !musicState.startsWith("recording-began")) {
        if (const auto dropouts = dropoutsAtLateRequests(music, recording.bytes, *placed, calls))
            musicState = "dropouts@" + dropouts->join(',');
        else if (const qint64 whole = resampledWholeBytes(music, recording.bytes, *placed);
                 whole == music.size())
            musicState = QStringLiteral("resampled");
        else if (whole > bytesPerSecond / 100)
            musicState = QStringLiteral("resampled-whole-to-%1s")
                             .arg(double(whole) / bytesPerSecond, 0, 'f', 3);
    }

    const qint64 soundUs = placed && *placed >= 0 ? recording.arrivalOf(*placed) : -1;
    // The first frame that shows the scene (the empty window before it does not count).
    const auto first = std::find_if(frames.begin(), frames.end(),
                                    [](const Frame &frame) { return frame.scene != -2; });
    const qint64 firstFrameUs = first == frames.end() ? -1 : first->arrivalUs();
    QStringList out = label;
    out << library << "lead=" + signedMs(median(leads)) << "arrival=" + signedMs(median(arrivals))
        << QStringLiteral("seen=%1/%2").arg(leads.size()).arg(riseFrames) << "music=" + musicState
        << "exit=" + (status.isEmpty() ? QByteArray("none") : status)
        << QStringLiteral("sound=%1")
               .arg(openedUs > 0 && soundUs > 0 ? (soundUs - openedUs) / 1000 : -1)
        << QStringLiteral("first=%1")
               .arg(openedUs > 0 && firstFrameUs > 0 ? (firstFrameUs - openedUs) / 1000 : -1)
        << QStringLiteral("queue=%1ms").arg(median(queues), 0, 'f', 1)
        << QStringLiteral("refresh=%1us").arg(refresh.periodUs, 0, 'f', 1)
        << "callbacks=" + callbackPattern(calls, openedUs) << "thread=" + thread;
    std::printf("%s\n", qPrintable(out.join(' ')));
    return 0;
}

struct Launch
{
    double lead = NAN, arrival = NAN;
    int soundMs = -1, firstMs = -1;
    bool intact = false, dropouts = false, exitZero = false;
};

QString range(const std::vector<int> &values)
{
    if (values.empty())
        return QStringLiteral("none");
    const auto [low, high] = std::minmax_element(values.begin(), values.end());
    return QStringLiteral("%1-%2").arg(*low).arg(*high);
}

int reportTable(const QString &path)
{
    QMap<QString, QList<Launch>> groups; // "server state size"
    for (const QByteArray &line : lines(path)) {
        const QStringList fields = QString::fromUtf8(line).split(' ', Qt::SkipEmptyParts);
        const int labels = int(std::find_if(fields.begin(), fields.end(),
                                            [](const QString &f) { return f.startsWith("lead="); })
                               - fields.begin());
        if (labels != 4)
            continue;
        Launch launch;
        for (const QString &field : fields) {
            const QString key = field.section('=', 0, 0), value = field.section('=', 1);
            if (key == "lead" || key == "arrival")
                (key == "lead" ? launch.lead : launch.arrival)
                    = value == "none" ? NAN : value.toDouble();
            else if (key == "sound" || key == "first")
                (key == "sound" ? launch.soundMs : launch.firstMs) = value.toInt();
            else if (key == "music") {
                launch.dropouts = value.startsWith("dropouts@");
                // PipeWire's tunnel adapts its rate to what it holds: the music reaches the far
                // sink resampled.
                launch.intact = value == "intact" || launch.dropouts
                    || (value == "resampled" && fields[0] == "pipewire"
                        && fields[1].startsWith("tunnel"));
            } else if (key == "exit")
                launch.exitZero = value == "0";
        }
        groups[fields.mid(0, labels).join(' ')] << launch;
    }
    if (groups.isEmpty()) {
        std::fprintf(stderr, "leadreport: no launches in %s\n", qPrintable(path));
        return 1;
    }
    bool met = true;
    std::printf("| server | sink | screen | library | launches | lead, median | worst launch | at "
                "arrival, median | sound at the sink | first frame | music intact | exit 0 | "
                "targets |\n|---|---|---|---|---|---|---|---|---|---|---|---|---|\n");
    for (auto group = groups.cbegin(); group != groups.cend(); ++group) {
        std::vector<double> leads, arrivals;
        std::vector<int> sounds, firsts;
        double worst = NAN;
        int intact = 0, dropouts = 0, exitZero = 0;
        for (const Launch &launch : group.value()) {
            intact += launch.intact;
            dropouts += launch.dropouts;
            exitZero += launch.exitZero;
            if (launch.soundMs >= 0)
                sounds.push_back(launch.soundMs);
            if (launch.firstMs >= 0)
                firsts.push_back(launch.firstMs);
            if (!std::isnan(launch.arrival))
                arrivals.push_back(launch.arrival);
            if (std::isnan(launch.lead))
                continue;
            leads.push_back(launch.lead);
            if (std::isnan(worst) || std::abs(launch.lead) > std::abs(worst))
                worst = launch.lead;
        }
        const int n = int(group.value().size());
        const double middle = median(leads);
        const QStringList key = group.key().split(' ');
        const bool far = key[1].startsWith(QLatin1String("tunnel"));
        // A far sink that publishes no delay leaves the demo nothing to wait for: the picture
        // runs ahead of it, and the show's end cuts off what it still holds.
        const bool judged = !key[1].endsWith(QLatin1String("-unreported"));
        // One that publishes the latency it was configured with, not what it holds, is waited for
        // by that figure: its median is off by the difference, each launch still within limits.
        const bool medianJudged = judged && !key[1].endsWith(QLatin1String("-configured"));
        const bool ok = n >= minimumLaunches && int(leads.size()) == n
            && (!judged
                || ((!medianJudged || std::abs(middle) <= (far ? farMedianLimitMs : medianLimitMs))
                    && std::abs(worst) <= (far ? farLaunchLimitMs : launchLimitMs) && intact == n))
            && exitZero == n;
        met = met && ok;
        const QString withDropouts
            = dropouts ? QStringLiteral(" (%1 with dropouts)").arg(dropouts) : QString();
        std::printf("| %s | %s | %s | %s | %d | %s | %s | %s | %s | %s | %d/%d%s | %d/%d | %s |\n",
                    qPrintable(key[0]), qPrintable(key[1]), qPrintable(key[2]), qPrintable(key[3]),
                    n, qPrintable(signedMs(middle)), qPrintable(signedMs(worst)),
                    qPrintable(signedMs(median(arrivals))), qPrintable(range(sounds)),
                    qPrintable(range(firsts)), intact, n, qPrintable(withDropouts), exitZero, n,
                    !ok                ? "MISSED"
                        : medianJudged ? "met"
                        : judged       ? "met, the median not judged"
                                       : "met, lead and music not judged");
    }
    std::printf("(ms; lead: when the music reached the sink's monitor minus when a viewer saw the "
                "frame of the same time, positive: the picture is ahead; per launch the median "
                "over the frames of a 150 ms rise; sound and first frame: ms after the audio "
                "device was opened, lowest-highest)\n");
    return met ? 0 : 1;
}

// PulseAudio killed mid-show and started again: when and where the music came back (the first
// music in the recording after the return), whether the rest of it is whole, and what the demo
// said.
int reportComeback(const QString &dir)
{
    const QByteArray music = contents(dir + "/music.raw");
    const Recording before = readRecording(dir), after = readRecording(dir, "2");
    // When the server had started again (the recorder's one chunk of the mark), and when its sink
    // played again (the first chunk recorded after that): a fresh null sink renders a first block
    // of 2 s of silence before it plays anything, whoever plays to it.
    const QList<QByteArray> mark = contents(dir + "/back.time").split(' ');
    const qint64 startedUs = mark.size() == 2 ? mark[0].toLongLong() : -1;
    const qint64 backUs = after.chunks.empty() ? -1 : after.chunks.front().arrivalUs;
    qint64 reopenedUs = -1; // the last opening of a device
    for (const QByteArray &line : lines(dir + "/callbacks.log")) {
        if (line.startsWith("open "))
            reopenedUs = line.split(' ')[1].toLongLong();
    }
    const auto started = locate(before.bytes, music, 0);
    // The first whole stretch of music after the return, and where it lies in the music.
    qint64 at = 0;
    while (at < after.bytes.size() && after.bytes[int(at)] == 0)
        ++at;
    qint64 from = -1;
    for (at -= at % bytesPerFrame; at + 4096 <= after.bytes.size() && from < 0; at += 4096) {
        from = music.indexOf(after.bytes.mid(int(at), 4096));
        if (from % bytesPerFrame != 0)
            from = -1;
    }
    at -= 4096;
    QByteArray errors = contents(dir + "/stderr");
    const bool said = errors.count("mincer: no sound is playing") == 1
        && errors.count("mincer: the sound plays again") == 1;
    const QByteArray status = contents(dir + "/status").trimmed();
    if (!started || from < 0 || startedUs < 0 || backUs < 0 || reopenedUs < 0) {
        std::printf("music=%s exit=%s\n", !started ? "not-found-before" : "not-found-after",
                    status.constData());
        return 1;
    }
    const qint64 rest = music.size() - from;
    const bool whole = after.bytes.mid(int(at), int(rest)) == music.mid(int(from));
    const double backMs = double(after.arrivalOf(at) - backUs) / 1000;
    const double startedMs = double(after.arrivalOf(at) - startedUs) / 1000;
    // Where the show was when the device opened again: as far from the music's start as the sink
    // played it, the show having run on meanwhile.
    const double showS = double(reopenedUs - before.arrivalOf(*started)) / 1e6;
    const double fromS = double(from) / bytesPerSecond;
    std::printf("sound-again=%.0fms-after-the-sink-played-again(%.0fms-after-the-server-started) "
                "music-from=%.3fs show-at=%.3fs rest=%s exit=%s said=%s\n",
                backMs, startedMs, fromS, showS, whole ? "intact" : "differs", status.constData(),
                said ? "stopped,again" : errors.replace('\n', '|').constData());
    constexpr double withinMs = 2000, showToleranceS = 0.25;
    return backMs <= withinMs && std::abs(fromS - showS) <= showToleranceS && whole && status == "0"
            && said
        ? 0
        : 1;
}

// A made song of known beats (beatsong.h) in the show's format, the same on both channels, to
// FILE, and its beats (ms into the song, one a line) to FILE.beats.
int writeBeatSong(double seconds, double fromBpm, double toBpm, const QString &path)
{
    QList<double> beatsMs;
    const QByteArray mono = beatSong(seconds, fromBpm, toBpm, 0, &beatsMs);
    QByteArray stereo;
    stereo.reserve(2 * mono.size());
    for (int i = 0; i + 1 < mono.size(); i += 2)
        stereo.append(mono.mid(i, 2)).append(mono.mid(i, 2));
    QByteArray beats;
    for (const double ms : std::as_const(beatsMs))
        beats += QByteArray::number(ms, 'f', 3) + '\n';
    QFile song(path), times(path + ".beats");
    if (!song.open(QIODevice::WriteOnly) || song.write(stereo) != stereo.size()
        || !times.open(QIODevice::WriteOnly) || times.write(beats) != beats.size()) {
        std::fprintf(stderr, "leadreport: cannot write %s\n", qPrintable(path));
        return 1;
    }
    return 0;
}

// The p-th quantile (0 to 1) of `values`: the smallest value with that share of them at or below.
double quantile(std::vector<double> values, double p)
{
    if (values.empty())
        return NAN;
    std::sort(values.begin(), values.end());
    return values[size_t(std::max(0.0, std::ceil(double(values.size()) * p) - 1))];
}

// One launch of the listening show: each moment (the grinder's swallow) as a viewer saw it, against
// the song's beat nearest it as heard at the sink, from `skipS` after the song reached the sink.
int reportListen(const QString &dir, const QStringList &label, double skipS)
{
    const QByteArray song = contents(dir + "/song.raw");
    std::vector<double> beatsMs;
    for (const QByteArray &line : lines(dir + "/song.raw.beats")) {
        if (!line.isEmpty())
            beatsMs.push_back(line.toDouble());
    }
    const Recording recording = readRecording(dir);
    RefreshClock refresh;
    const std::vector<Frame> frames = readFrames(dir, &refresh);
    const QByteArray status = contents(dir + "/status").trimmed();
    std::optional<qint64> placed;
    for (const double at : {0.0, 1.0, 4.0, 8.0})
        placed
            = placed ? placed : locate(recording.bytes, song, qint64(at * bytesPerSecond) / 4 * 4);
    QStringList out = label;
    if (!placed || !refresh.valid() || beatsMs.empty()) {
        out << "moments=none" << (placed ? "refresh=none" : "song=not-found") << "exit=" + status;
        std::printf("%s\n", qPrintable(out.join(' ')));
        return 1;
    }
    // Each beat when the monitor recorded it.
    std::vector<double> heardUs;
    for (const double ms : beatsMs) {
        const qint64 byte
            = *placed + qint64(ms * bytesPerSecond / 1000) / bytesPerFrame * bytesPerFrame;
        const qint64 us = byte >= 0 ? recording.arrivalOf(byte) : -1;
        if (us >= 0)
            heardUs.push_back(double(us));
    }
    const double fromUs = double(recording.arrivalOf(std::max<qint64>(0, *placed))) + skipS * 1e6;
    // Until half a beat after the last: the moments after that fall where the song has ended.
    const double untilUs = heardUs.size() < 2
        ? -1
        : heardUs.back() + (heardUs.back() - heardUs[heardUs.size() - 2]) / 2;
    // A frame shows a moment when its time in the moment's period (frameprobe's scene time) wrapped
    // around since the frame before: the moment is seen at the refresh where the first frame from
    // there that is not replaced before it is seen (every frame until the next wrap shows it too).
    std::vector<double> errors, pastMs;
    qint64 last = -1;
    for (size_t i = 0; i < frames.size(); ++i) {
        const qint64 phase = frames[i].scene;
        if (phase < 0)
            continue;
        const bool wrapped = last >= 0 && phase < last;
        last = phase;
        if (!wrapped)
            continue;
        double seenUs = NAN;
        for (size_t j = i; j < frames.size() && std::isnan(seenUs); ++j) {
            const double shownUs = refresh.after(double(frames[j].arrivalUs()));
            if (j + 1 == frames.size() || double(frames[j + 1].arrivalUs()) >= shownUs)
                seenUs = shownUs;
        }
        if (std::isnan(seenUs) || seenUs < fromUs || seenUs > untilUs)
            continue;
        const auto nearest
            = std::min_element(heardUs.begin(), heardUs.end(), [&](double a, double b) {
                  return std::abs(a - seenUs) < std::abs(b - seenUs);
              });
        errors.push_back((seenUs - *nearest) / 1000);
        pastMs.push_back(double(phase));
    }
    std::vector<double> distances;
    QStringList each;
    for (const double e : errors) {
        distances.push_back(std::abs(e));
        each << QString::asprintf("%+.1f", e);
    }
    out << QStringLiteral("moments=%1").arg(errors.size())
        << QStringLiteral("median=%1").arg(median(distances), 0, 'f', 1)
        << QStringLiteral("p90=%1").arg(quantile(distances, 0.9), 0, 'f', 1)
        << "signed-median=" + signedMs(median(errors))
        << QStringLiteral("past-moment=%1ms").arg(median(pastMs), 0, 'f', 1)
        << "exit=" + (status.isEmpty() ? QByteArray("none") : status)
        << "errors=" + (each.isEmpty() ? QStringLiteral("none") : each.join(','));
    std::printf("%s\n", qPrintable(out.join(' ')));
    return 0;
}

// The lines of `listen` in RESULTS, per label: the moments of all its launches. Exits 1 when a
// target is missed: within +-25 ms of the beat as a median, +-60 ms for 90 % of the moments, at
// least minimumMoments of them, exit status 0 in every launch.
int reportListenTable(const QString &path)
{
    constexpr double medianLimitMs = 25, p90LimitMs = 60;
    constexpr int minimumMoments = 5;
    struct Row
    {
        std::vector<double> errors;
        int launches = 0, exitZero = 0;
    };
    QMap<QString, Row> rows;
    for (const QByteArray &line : lines(path)) {
        const QStringList fields = QString::fromUtf8(line).split(' ', Qt::SkipEmptyParts);
        const auto moments = std::find_if(fields.begin(), fields.end(), [](const QString &f) {
            return f.startsWith("moments=");
        });
        if (moments == fields.end())
            continue;
        Row &row = rows[QStringList(fields.begin(), moments).join(' ')];
        ++row.launches;
        for (const QString &field : fields) {
            if (field == "exit=0")
                ++row.exitZero;
            else if (field.startsWith("errors=") && field != "errors=none") {
                for (const QString &e : field.mid(7).split(','))
                    row.errors.push_back(e.toDouble());
            }
        }
    }
    bool met = !rows.isEmpty();
    std::printf("| row | launches | moments | median | 90 %% within | signed median | exit 0 | "
                "targets |\n|---|---|---|---|---|---|---|---|\n");
    for (auto row = rows.cbegin(); row != rows.cend(); ++row) {
        std::vector<double> distances;
        for (const double e : row->errors)
            distances.push_back(std::abs(e));
        const double middle = median(distances), p90 = quantile(distances, 0.9);
        const bool ok = int(distances.size()) >= minimumMoments && middle <= medianLimitMs
            && p90 <= p90LimitMs && row->exitZero == row->launches;
        met = met && ok;
        std::printf("| %s | %d | %d | %.1f | %.1f | %s | %d/%d | %s |\n", qPrintable(row.key()),
                    row->launches, int(distances.size()), middle, p90,
                    qPrintable(signedMs(median(row->errors))), row->exitZero, row->launches,
                    ok ? "met" : "MISSED");
    }
    std::printf("(ms: when a viewer saw each moment minus the song's nearest beat as the sink's "
                "monitor recorded it, from 8 s into the song; median and 90th percentile of the "
                "distance)\n");
    return met ? 0 : 1;
}

} // namespace

int reportSound(const QString &recordingPath, const QString &referencePath,
                std::optional<double> minSnrDb)
{
    const bool song = !referencePath.endsWith(QLatin1String(".raw"));
    const QByteArray recording = contents(recordingPath);
    const QByteArray reference = song ? referenceDecode(referencePath) : contents(referencePath);
    if (reference.isEmpty()) {
        std::printf("sound=no-reference\n");
        return 1;
    }
    const qint64 samples = reference.size() / 2, recorded = recording.size() / 2;
    // Aligned where each first rises above the noise floor, then within 32 frames of that.
    const auto firstLoud = [](const QByteArray &sound) {
        qint64 i = 0;
        while (i < sound.size() / 2 && std::abs(sampleAt(sound, i)) < 64)
            ++i;
        return i - i % 2;
    };
    const qint64 guess = firstLoud(recording) - firstLoud(reference);
    double best = -INFINITY;
    qint64 bestStart = 0;
    for (qint64 start = guess - 64; start <= guess + 64; start += 2) {
        if (start < 0 || start + samples > recorded)
            continue;
        const double clearDb
            = snrDb(recording.mid(2 * start, reference.size()), reference, reference.size());
        if (clearDb > best)
            best = clearDb, bestStart = start;
    }
    if (best == -INFINITY) {
        std::printf("sound=missing\n");
        return 1;
    }
    if (best == INFINITY) {
        std::printf("sound=bit-exact at %.3f s\n", double(bestStart) * 2 / bytesPerSecond);
        return 0;
    }
    std::printf("sound=snr-%.1fdB at %.3f s\n", best, double(bestStart) * 2 / bytesPerSecond);
    return best >= minSnrDb.value_or(song ? songMatchSnrDb : INFINITY) ? 0 : 1;
}

int main(int argc, char *argv[])
{
    const QByteArray mode = argc > 1 ? argv[1] : "";
    if (mode == "music" && argc == 4)
        return writeMusic(std::atof(argv[2]), QString::fromLocal8Bit(argv[3]));
    if (mode == "launch" && argc >= 3) {
        QStringList label;
        for (int i = 3; i < argc; ++i)
            label << QString::fromLocal8Bit(argv[i]);
        return reportLaunch(QString::fromLocal8Bit(argv[2]), label);
    }
    if (mode == "comeback" && argc == 3)
        return reportComeback(QString::fromLocal8Bit(argv[2]));
    if (mode == "table" && argc == 3)
        return reportTable(QString::fromLocal8Bit(argv[2]));
    if (mode == "beatsong" && argc == 6)
        return writeBeatSong(std::atof(argv[2]), std::atof(argv[3]), std::atof(argv[4]),
                             QString::fromLocal8Bit(argv[5]));
    if (mode == "listen" && argc >= 4) {
        QStringList label;
        for (int i = 4; i < argc; ++i)
            label << QString::fromLocal8Bit(argv[i]);
        return reportListen(QString::fromLocal8Bit(argv[2]), label, std::atof(argv[3]));
    }
    if (mode == "listentable" && argc == 3)
        return reportListenTable(QString::fromLocal8Bit(argv[2]));
    if (mode == "sound" && (argc == 4 || argc == 5))
        return reportSound(QString::fromLocal8Bit(argv[2]), QString::fromLocal8Bit(argv[3]),
                           argc == 5 ? std::optional<double>(std::atof(argv[4])) : std::nullopt);
    std::fprintf(stderr,
                 "usage: leadreport music SECONDS FILE\n"
                 "       leadreport launch DIR LABEL...\n"
                 "       leadreport comeback DIR\n"
                 "       leadreport table RESULTS\n"
                 "       leadreport beatsong SECONDS FROM_BPM TO_BPM FILE\n"
                 "       leadreport listen DIR SKIP_S LABEL...\n"
                 "       leadreport listentable RESULTS\n"
                 "       leadreport sound RECORDING REFERENCE [MIN_SNR_DB]\n");
    return 2;
}
