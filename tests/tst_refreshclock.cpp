#include "refreshclock.h"

#include <QtTest>

#include <random>

class TestRefreshClock : public QObject
{
    Q_OBJECT

private slots:
    void refreshClockFollowsReports_data();
    void refreshClockFollowsReports();
};

// A display's refreshes as the X server reports them: each report comes some time after its
// refresh, by up to `jitterMs`, and some refreshes go unreported. From report 100 on the rate may
// change and the counter start again from 5 (another display). Before report `glitchAt` comes an
// extra report `earlyMs` before it, counted as a refresh of its own (XWayland does so when the
// compositor is slow to ask for a frame), or else that report comes 6 ms late.
void TestRefreshClock::refreshClockFollowsReports_data()
{
    QTest::addColumn<double>("firstHz");
    QTest::addColumn<double>("thenHz");
    QTest::addColumn<int>("maxStep"); // refreshes from one report to the next: 1 to maxStep
    QTest::addColumn<double>("jitterMs");
    QTest::addColumn<int>("glitchAt");
    QTest::addColumn<double>("earlyMs");
    QTest::addColumn<bool>("counterRestarts");
    QTest::addColumn<double>("assumedHz"); // what the screen says before the first report

    QTest::newRow("60 Hz, reports late by up to 1.2 ms")
        << 60.0 << 60.0 << 1 << 1.2 << -1 << 0.0 << false << 0.0;
    QTest::newRow("144 Hz") << 144.0 << 144.0 << 1 << 0.5 << -1 << 0.0 << false << 0.0;
    QTest::newRow("refreshes missed") << 60.0 << 60.0 << 3 << 1.2 << -1 << 0.0 << false << 0.0;
    QTest::newRow("one report 6 ms late") << 60.0 << 60.0 << 1 << 1.2 << 20 << 0.0 << false << 0.0;
    QTest::newRow("an extra report before the first")
        << 60.0 << 60.0 << 1 << 1.2 << 0 << 8.0 << false << 0.0;
    QTest::newRow("an extra report 8 ms early")
        << 60.0 << 60.0 << 1 << 1.2 << 20 << 8.0 << false << 0.0;
    QTest::newRow("rate changes to 144 Hz")
        << 60.0 << 144.0 << 1 << 0.5 << -1 << 0.0 << false << 0.0;
    QTest::newRow("the screen's rate assumed at first")
        << 60.0 << 60.0 << 1 << 1.2 << -1 << 0.0 << false << 59.94;
    QTest::newRow("another display at 75 Hz")
        << 60.0 << 75.0 << 1 << 1.2 << -1 << 0.0 << true << 0.0;
}

// Once settled, a frame painted right after a report is shown, by the clock, within a
// millisecond of the next refresh (as reported on average), also after a glitch; and the times of
// frames painted after consecutive reports lie as many periods apart as refreshes passed, within
// half a millisecond: what keeps the frames' scene times even.
void TestRefreshClock::refreshClockFollowsReports()
{
    QFETCH(double, firstHz);
    QFETCH(double, thenHz);
    QFETCH(int, maxStep);
    QFETCH(double, jitterMs);
    QFETCH(int, glitchAt);
    QFETCH(double, earlyMs);
    QFETCH(bool, counterRestarts);
    QFETCH(double, assumedHz);

    std::mt19937 random(15);
    std::uniform_int_distribution<int> steps(1, maxStep);
    std::uniform_real_distribution<double> lateness(0, jitterMs * 1e6);
    const double meanLateNs = jitterMs * 1e6 / 2;
    const qint64 paintNs = 100000; // from a report to the paint

    RefreshClock clock;
    if (assumedHz > 0)
        clock.assumePeriod(qint64(1e9 / assumedHz));
    double periodNs = 1e9 / firstHz;
    double refreshNs = 5e9; // when the latest refresh came
    quint64 msc = 1000;
    double shownBefore = 0; // when the frame painted after the previous report is shown
    for (int i = 0; i < 200; ++i) {
        const QString at = QStringLiteral("report %1").arg(i);
        // Eighteen reports (0.3 s at 60 Hz) after the start and thirty after report 100 to settle;
        // none after the start with the screen's rate assumed.
        const bool settled = i > (assumedHz > 0 ? 0 : 18) && (i < 100 || i > 130);
        const int step = steps(random);
        if (i == 100) {
            periodNs = 1e9 / thenHz;
            msc = counterRestarts ? 5 : msc;
        }
        msc += step;
        refreshNs += step * periodNs;
        if (i == glitchAt && earlyMs > 0) {
            const qint64 earlyNs = qint64(refreshNs - earlyMs * 1e6);
            clock.observe(msc++, earlyNs);
            QVERIFY2(!settled
                         || std::abs(clock.nextShownAt(earlyNs + paintNs) - refreshNs - meanLateNs)
                             < 1e6,
                     qPrintable(at));
        }
        const double reportNs
            = refreshNs + lateness(random) + (i == glitchAt && !earlyMs ? 6e6 : 0);
        clock.observe(msc, qint64(reportNs));

        const double shown = clock.nextShownAt(qint64(reportNs) + paintNs);
        if (settled) {
            QVERIFY2(std::abs(shown - (refreshNs + periodNs + meanLateNs)) < 1e6, qPrintable(at));
            QVERIFY2(std::abs(shown - shownBefore - step * periodNs) < 0.5e6, qPrintable(at));
            // A frame painted late, after the next refresh, is shown at the one after.
            QVERIFY2(
                std::abs(clock.nextShownAt(qint64(refreshNs + 1.5 * periodNs)) - shown - periodNs)
                    < 1e6,
                qPrintable(at));
        }
        shownBefore = shown;
    }
}

QTEST_MAIN(TestRefreshClock)
#include "tst_refreshclock.moc"
