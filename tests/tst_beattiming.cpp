#include "beattiming.h"

#include <QtTest>

#include <vector>

Q_DECLARE_METATYPE(std::vector<qint64>)

// Where the show meets the music: the show's position between and around its anchors, and where
// planOnBeats() puts the show's moments on a song's beats. Times in the rows are ms.
class TestBeatTiming : public QObject
{
    Q_OBJECT

    static constexpr qint64 nsPerMs = 1'000'000;

    // Beats every `everyMs` from `fromMs` to `toMs`, none from `gapFromMs` to `gapToMs`; in ns.
    static std::vector<qint64> beats(qint64 fromMs, qint64 everyMs, qint64 toMs,
                                     qint64 gapFromMs = 0, qint64 gapToMs = 0)
    {
        std::vector<qint64> ns;
        for (qint64 ms = fromMs; ms <= toMs; ms += everyMs) {
            if (ms < gapFromMs || ms >= gapToMs)
                ns.push_back(ms * nsPerMs);
        }
        return ns;
    }

private slots:
    void showAt_data()
    {
        QTest::addColumn<QVector<qint64>>("anchors"); // music, show, music, show ...
        QTest::addColumn<qint64>("musicMs");
        QTest::addColumn<qint64>("showMs");
        const QVector<qint64> twice {0, 0, 1000, 2000};
        QTest::newRow("one anchor, before") << QVector<qint64> {1000, 3000} << 500LL << 2500LL;
        QTest::newRow("one anchor, after") << QVector<qint64> {1000, 3000} << 2000LL << 4000LL;
        QTest::newRow("between, evenly") << twice << 250LL << 500LL;
        QTest::newRow("on the last") << twice << 1000LL << 2000LL;
        QTest::newRow("past the last, own pace") << twice << 1500LL << 2500LL;
        QTest::newRow("before the first, own pace") << twice << -500LL << -500LL;
        QTest::newRow("an hour in, no overflow")
            << QVector<qint64> {0, 0, 4'000'000, 8'000'000} << 3'000'000LL << 6'000'000LL;
    }

    void showAt()
    {
        QFETCH(QVector<qint64>, anchors);
        QFETCH(qint64, musicMs);
        QFETCH(qint64, showMs);
        std::vector<TimingAnchor> ns;
        for (int i = 0; i < anchors.size(); i += 2)
            ns.push_back({anchors.at(i) * nsPerMs, anchors.at(i + 1) * nsPerMs});
        QCOMPARE(::showAt(ns, musicMs * nsPerMs), showMs * nsPerMs);
    }

    void planOnBeats_data()
    {
        QTest::addColumn<std::vector<qint64>>("beatsNs");
        QTest::addColumn<qint64>("knownUntilMs");
        QTest::addColumn<QVector<qint64>>("eventsMs"); // show positions
        QTest::addColumn<qint64>("repeatMs");
        QTest::addColumn<QVector<qint64>>("anchors"); // after {0, 0}: music, show ...
        const QVector<qint64> forest {14000, 18000, 22500};
        QTest::newRow("on the beats") << beats(0, 500, 60000) << 60000LL << forest << 0LL
                                      << QVector<qint64> {14000, 14000, 18000, 18000, 22500, 22500};
        QTest::newRow("the nearest beat, and on from it")
            << beats(200, 500, 60000) << 60000LL << QVector<qint64> {14000, 14400} << 0LL
            << QVector<qint64> {14200, 14000, 14700, 14400};
        QTest::newRow("no beat near: none") << beats(0, 500, 60000, 10000, 20000) << 60000LL
                                            << forest << 0LL << QVector<qint64> {22500, 22500};
        QTest::newRow("beats not known that far: wait")
            << beats(0, 500, 14500) << 14999LL << forest << 0LL << QVector<qint64> {};
        QTest::newRow("two beats are no beat")
            << beats(1000, 500, 1500) << 60000LL << forest << 0LL << QVector<qint64> {};
        QTest::newRow("neither twice nor half the pace")
            << beats(0, 450, 60000) << 60000LL << QVector<qint64> {200} << 0LL
            << QVector<qint64> {};
        QTest::newRow("recurring: every whole number of beats nearest the period")
            << beats(0, 400, 60000) << 60000LL << QVector<qint64> {5000} << 1000LL
            << QVector<qint64> {6000, 5000};
    }

    void planOnBeats()
    {
        QFETCH(std::vector<qint64>, beatsNs);
        QFETCH(qint64, knownUntilMs);
        QFETCH(QVector<qint64>, eventsMs);
        QFETCH(qint64, repeatMs);
        QFETCH(QVector<qint64>, anchors);
        std::vector<ShowEvent> events;
        for (const qint64 ms : eventsMs)
            events.push_back({ms * nsPerMs, repeatMs * nsPerMs});
        std::vector<TimingAnchor> planned {{0, 0}};
        ::planOnBeats(planned, events, beatsNs, knownUntilMs * nsPerMs);
        QVector<qint64> placed;
        for (size_t i = 1; i < planned.size(); ++i)
            placed << planned[i].musicNs / nsPerMs << planned[i].showNs / nsPerMs;
        QCOMPARE(placed, anchors);
    }
};

QTEST_GUILESS_MAIN(TestBeatTiming)
#include "tst_beattiming.moc"
