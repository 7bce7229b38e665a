#include "bufferlog.h"
#include "musicclock.h"
#include "musicsource.h"

#include <QtTest>

#include <climits>
#include <cmath>
#include <random>
#include <thread>

// Made-up timelines of the sound device's requests, played through the clock as the window does:
// the requests up to each frame are handed in, then the frame asks where the music stands.

static constexpr qint64 bytesPerSecond = musicBytesPerSecond;
static constexpr int tenMsBytes
    = musicBytesPerSecond / 100; // the buffer SDL's pulse driver asks for
static constexpr double frameMs = 1000.0 / 60;

// A request of `bytes`, the first `musicBytes` of them music (-1: all); or, by its bytes, the
// device lost (lost) or one opened anew where the clock stands (reopened).
struct Request
{
    double atMs;
    int bytes;
    int musicBytes = -1;
};
static constexpr int lost = -1, reopened = -2;
using Requests = QVector<Request>;

// Where the music should stand at atMs (within toleranceMs), and whether the show should be over.
struct Check
{
    double atMs;
    double heardMs;
    double toleranceMs;
    bool finished;
};
using Checks = QVector<Check>;

// What the sound server reports: at atMs, music handed over is heard latencyMs later, on a sink;
// or, sinkOnly, the sink delays what it is given by latencyMs.
struct Report
{
    double atMs;
    double latencyMs;
    quint32 sink;
    bool sinkOnly = false;
};
using Reports = QVector<Report>;

Q_DECLARE_METATYPE(Requests)
Q_DECLARE_METATYPE(Checks)
Q_DECLARE_METATYPE(Reports)

// A device filling its queue: `count` requests of `bytes` in quick succession.
static Requests burst(double atMs, int count, int bytes = tenMsBytes)
{
    Requests requests;
    for (int i = 0; i < count; ++i)
        requests.append({atMs + 0.05 * i, bytes});
    return requests;
}

// A playing device: a request of `bytes` (10 ms by default) as often as they play, from fromMs
// until toMs, each off by up to jitterMs, holding `musicBytes` of music.
static Requests paced(double fromMs, double toMs, double jitterMs = 0, int musicBytes = -1,
                      int bytes = tenMsBytes)
{
    std::mt19937 random(7);
    std::uniform_real_distribution<double> off(-jitterMs, jitterMs);
    Requests requests;
    for (double t = fromMs; t < toMs; t += bytes * 1000.0 / bytesPerSecond)
        requests.append({t + off(random), bytes, musicBytes});
    return requests;
}

// The server's reports every 100 ms from fromMs until toMs.
static Reports reported(double fromMs, double toMs, double latencyMs, quint32 sink = 0,
                        bool sinkOnly = false)
{
    Reports reports;
    for (double t = fromMs; t < toMs; t += 100)
        reports.append({t, latencyMs, sink, sinkOnly});
    return reports;
}

static qint64 ns(double ms)
{
    return qint64(std::llround(ms * 1e6));
}

class TestMusicClock : public QObject
{
    Q_OBJECT

private slots:
    void followsTheDevice_data();
    void followsTheDevice();
    void countsLongMusicExactly();
    void bufferLogLosesNothing_data();
    void bufferLogLosesNothing();
};

void TestMusicClock::followsTheDevice_data()
{
    QTest::addColumn<Requests>("requests");
    QTest::addColumn<double>("lengthMs"); // the music's length; -1 unknown
    QTest::addColumn<Checks>("checks");
    QTest::addColumn<double>("smoothFromMs"); // from here frames advance by one frame ± 2 ms
    QTest::addColumn<int>("leastQueueBytes"); // what the driver is known to hold
    QTest::addColumn<Reports>("reports");

    // The device fills its queue of 30 ms at once and plays at once: the requests that fill it
    // do not count, the ones that follow one per buffer do.
    QTest::newRow("start burst") << burst(0, 3) + paced(10, 3000) << -1.0
                                 << Checks {{5, 0, 1, false},
                                            {500, 500, 2, false},
                                            {2500, 2500, 2, false}}
                                 << 100.0 << 0 << Reports();
    // The server holds the new stream back for 2 s: the picture holds 0 until the music starts.
    QTest::newRow("held stream") << burst(0, 3) + paced(2010, 4000) << -1.0
                                 << Checks {{1000, 0, 1, false},
                                            {2000, 0, 1, false},
                                            {3000, 1000, 2, false}}
                                 << 2300.0 << 0 << Reports();
    // The audio thread does not run for 0.5 s: the device plays out its queue and waits; the
    // thread refills it in a burst. The music is 470 ms behind from then on, and so is the clock.
    QTest::newRow("starved thread")
        << burst(0, 3) + paced(10, 1010) + burst(1500, 3) + paced(1510, 3000) << -1.0
        << Checks {{1020, 1020, 2, false}, {1300, 1030, 6, false}, {2500, 2030, 2, false}} << -1.0
        << 0 << Reports();
    // Requests come up to 3 ms early or late: the clock still moves smoothly, near the music.
    QTest::newRow("jitter") << burst(0, 3) + paced(10, 3000, 3) << -1.0
                            << Checks {{1000, 1000, 5, false}, {2900, 2900, 5, false}} << 200.0 << 0
                            << Reports();
    // A device that opens but never asks: the picture holds 0 for 3 s, then runs on without it,
    // and the show ends once the picture has shown the whole music.
    QTest::newRow("no callbacks at all") << Requests() << 5000.0
                                         << Checks {{2990, 0, 0, false},
                                                    {4000, 1000, 1, false},
                                                    {7990, 4990, 1, false},
                                                    {8010, 5010, 1, true}}
                                         << 3100.0 << 0 << Reports();
    // The device stops asking half way: the picture runs on from where it stood after 3 s, to the
    // music's end.
    QTest::newRow("sound stops") << burst(0, 3) + paced(10, 1000) << 4500.0
                                 << Checks {{2000, 1020, 6, false},
                                            {4100, 1130, 6, false},
                                            {7400, 4430, 6, false},
                                            {7500, 4530, 6, true}}
                                 << -1.0 << 0 << Reports();
    // SDL filled the device's queue of 30 ms with silence of its own before the first request:
    // the device plays from 490 ms, the music from 520 ms.
    QTest::newRow("silence before the music")
        << paced(500, 3000) << -1.0
        << Checks {{510, 0, 1, false}, {1000, 480, 2, false}, {2500, 1980, 2, false}} << 800.0
        << 3 * tenMsBytes << Reports();
    // The music ends at 1 s; the device keeps playing the silence after it. The show is over
    // once the end has been heard, not when it was handed over (30 ms earlier).
    QTest::newRow("end of the music")
        << burst(0, 3) + paced(10, 2000) << 1000.0
        << Checks {{990, 990, 2, false}, {1005, 1005, 2, true}} << -1.0 << 0 << Reports();
    // The same with buffers of 2048 frames, whose lengths are no whole number of ns.
    QTest::newRow("end of the music, buffers of 2048 frames")
        << burst(0, 2, 8192) + paced(8192 * 1000.0 / bytesPerSecond, 2000, 0, -1, 8192) << 1000.0
        << Checks {{990, 990, 12, false}, {1060, 1000, 12, true}} << -1.0 << 0 << Reports();
    // The music is not loaded from 1 s to 2 s: the device plays silence, the clock waits, and the
    // music goes on (and ends) a second later.
    QTest::newRow("underrun") << burst(0, 3) + paced(10, 1000) + paced(1000, 2000, 0, 0)
            + paced(2000, 3000)
                              << 2000.0 << Checks {{1500, 1020, 6, false}, {2500, 1500, 6, false}}
                              << -1.0 << 0 << Reports();
    // The device is lost at 1 s; another opens at 2 s and plays on from where the show is.
    QTest::newRow("lost and opened anew")
        << burst(0, 3) + paced(10, 990) + Requests {{1000, lost}, {2000, reopened}} + burst(2000, 3)
            + paced(2010, 3000)
        << -1.0 << Checks {{1500, 1500, 6, false}, {2005, 2000, 6, false}, {2800, 2800, 6, false}}
        << -1.0 << 0 << Reports();
    // A network speaker: the server reports 200 ms, 170 beyond the device's queue, and the sound
    // library is taken to hold 10 ms more. Counted in at a tenth of real time, then the music
    // ends 180 ms later than it was handed over, where the clock stops.
    QTest::newRow("far sink") << burst(0, 3) + paced(10, 6000) << 4000.0
                              << Checks {{1000, 1000 - 90, 3, false},
                                         {3000, 2820, 3, false},
                                         {4170, 3990, 3, false},
                                         {4190, 4000, 5, true}}
                              << 0.0 << 0 << reported(100, 6000, 200);
    // The same speaker where the server tells its sink's 170 ms alone (PipeWire): all of it is
    // beyond the queue, which holds the library's part too.
    QTest::newRow("far sink, its delay alone")
        << burst(0, 3) + paced(10, 6000) << 4000.0
        << Checks {{3000, 2830, 3, false}, {4160, 3990, 3, false}, {4180, 4000, 5, true}} << 0.0
        << 0 << reported(100, 6000, 170, 0, true);
    // At 3 s the stream moves to a plain sink: the 120 ms queue that the first requests showed is
    // gone with the far sink, and so is its delay; the clock catches up at a tenth faster.
    QTest::newRow("speaker switched")
        << burst(0, 12) + paced(10, 7000) << -1.0
        << Checks {{2950, 2840, 3, false}, {6000, 6090, 3, false}} << 0.0 << 3 * tenMsBytes
        << reported(100, 3000, 220) + reported(3000, 7000, 25, 1);
    // The server holds the new stream back for 2 s and says how long until it plays: that shows
    // in the requests already; after it, the server reports less than the queue.
    QTest::newRow("held stream, server counting down")
        << burst(0, 3) + paced(2010, 4000) << -1.0
        << Checks {{2000, 0, 1, false}, {3000, 1000, 2, false}, {3900, 1900, 2, false}} << 2300.0
        << 0 << [] {
               Reports countdown;
               for (double t = 0; t < 2000; t += 100)
                   countdown.append({t, 2030 - t, 0});
               return countdown + reported(2000, 4000, 25);
           }();
}

void TestMusicClock::followsTheDevice()
{
    QFETCH(Requests, requests);
    QFETCH(double, lengthMs);
    QFETCH(Checks, checks);
    QFETCH(double, smoothFromMs);
    QFETCH(int, leastQueueBytes);
    QFETCH(Reports, reports);

    MusicClock clock(bytesPerSecond);
    clock.setLeastQueueNs(clock.musicNs(leastQueueBytes));
    clock.setMusicLength(lengthMs < 0 ? -1 : qint64(lengthMs * bytesPerSecond / 1000));
    const qint64 startNs = ns(1000); // any origin
    clock.start(startNs);

    // Frames every 1/60 s, and at each check's time.
    QVector<double> frames;
    for (double t = 0; t <= checks.last().atMs; t += frameMs)
        frames.append(t);
    for (const Check &check : checks)
        frames.append(check.atMs);
    std::sort(frames.begin(), frames.end());

    int handed = 0;
    int told = 0;
    int checked = 0;
    // As the callback does: silence once the music has been handed over.
    qint64 musicLeft = lengthMs < 0 ? LLONG_MAX : clock.musicBytes(ns(lengthMs));
    double previousMs = -1, previousAtMs = 0;
    for (const double atMs : frames) {
        while (handed < requests.size() && requests.at(handed).atMs <= atMs) {
            const Request &request = requests.at(handed++);
            const qint64 timeNs = startNs + ns(request.atMs);
            if (request.bytes == lost)
                clock.loseSound(timeNs);
            else if (request.bytes == reopened)
                clock.restart(timeNs, clock.heardAt(timeNs));
            else {
                const qint64 music = std::min<qint64>(
                    musicLeft, request.musicBytes < 0 ? request.bytes : request.musicBytes);
                musicLeft -= music;
                clock.bufferRequested(timeNs, request.bytes, int(music));
            }
        }
        for (; told < reports.size() && reports.at(told).atMs <= atMs; ++told)
            clock.serverLatencyReported(startNs + ns(reports.at(told).atMs),
                                        ns(reports.at(told).latencyMs), reports.at(told).sink,
                                        reports.at(told).sinkOnly);
        const double heardMs = clock.heardAt(startNs + ns(atMs)) / 1e6;
        QVERIFY2(heardMs >= previousMs, qPrintable(QString("backwards at %1 ms").arg(atMs)));
        if (smoothFromMs >= 0 && previousAtMs >= smoothFromMs
            && (lengthMs < 0 || heardMs < lengthMs)) {
            const double stepMs = heardMs - previousMs;
            const double frameStepMs = atMs - previousAtMs;
            QVERIFY2(std::abs(stepMs - frameStepMs) <= 2,
                     qPrintable(QString("at %1 ms the clock moved %2 ms in %3 ms")
                                    .arg(atMs)
                                    .arg(stepMs)
                                    .arg(frameStepMs)));
        }
        previousMs = heardMs;
        previousAtMs = atMs;

        if (checked < checks.size() && checks.at(checked).atMs == atMs) {
            const Check &check = checks.at(checked++);
            QVERIFY2(std::abs(heardMs - check.heardMs) <= check.toleranceMs,
                     qPrintable(QString("at %1 ms heard %2 ms, expected %3 ms")
                                    .arg(atMs)
                                    .arg(heardMs)
                                    .arg(check.heardMs)));
            QCOMPARE(clock.finishedAt(startNs + ns(atMs)), check.finished);
        }
    }
    QCOMPARE(checked, checks.size());
}

// Music of a day and more is counted to the byte, in ns and back, without overflowing.
void TestMusicClock::countsLongMusicExactly()
{
    const MusicClock clock(bytesPerSecond);
    const qint64 daySeconds = longestMusicSeconds;
    QCOMPARE(clock.musicNs(daySeconds * bytesPerSecond + tenMsBytes),
             daySeconds * 1'000'000'000 + 10'000'000);
    QCOMPARE(clock.musicBytes(daySeconds * 1'000'000'000 + 10'000'000),
             daySeconds * bytesPerSecond + tenMsBytes);
}

void TestMusicClock::bufferLogLosesNothing_data()
{
    QTest::addColumn<int>("requests");
    QTest::addColumn<int>("takeEvery"); // requests between takes; 0: taken on another thread
    QTest::newRow("taken as they come") << 100 << 1;
    QTest::newRow("reader held past the capacity") << 3000 << 2500;
    QTest::newRow("reader beside the writer") << 300000 << 0;
}

// Whatever the reader misses, each request it takes comes with its own time and every byte
// handed over up to it.
void TestMusicClock::bufferLogLosesNothing()
{
    QFETCH(int, requests);
    QFETCH(int, takeEvery);
    // Request n comes at time n, of 1 to 7 bytes, every third of them music.
    const auto bytes = [](int n) { return 1 + n % 7; };
    const auto music = [&](int n) { return n % 3 ? 0 : bytes(n); };
    std::vector<qint64> handedTo(1, 0), musicTo(1, 0); // totals before request n
    for (int n = 0; n < requests; ++n) {
        handedTo.push_back(handedTo.back() + bytes(n));
        musicTo.push_back(musicTo.back() + music(n));
    }
    BufferLog log;
    qint64 handed = 0, musicHanded = 0, lastTime = -1;
    bool consistent = true;
    const auto take = [&](qint64 timeNs, qint64 taken, qint64 musicTaken) {
        handed += taken;
        musicHanded += musicTaken;
        consistent = consistent && timeNs > lastTime && handed == handedTo[size_t(timeNs) + 1]
            && musicHanded == musicTo[size_t(timeNs) + 1];
        lastTime = timeNs;
    };
    const auto write = [&](int from, int to) {
        for (int n = from; n < to; ++n)
            log.append(n, bytes(n), music(n));
    };
    if (takeEvery == 0) {
        std::thread writer(write, 0, requests);
        while (lastTime < requests - 1)
            log.takeNew(take);
        writer.join();
    }
    for (int n = 0; n < requests && takeEvery > 0; n += takeEvery) {
        write(n, std::min(n + takeEvery, requests));
        log.takeNew(take);
    }
    QVERIFY(consistent);
    QCOMPARE(lastTime, qint64(requests - 1));
}

QTEST_APPLESS_MAIN(TestMusicClock)
#include "tst_musicclock.moc"
