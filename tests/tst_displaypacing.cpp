#include "displaypacing.h"

#include <QtTest>

#include <random>

class TestDisplayPacing : public QObject
{
    Q_OBJECT

private slots:
    void refreshClockFollowsReports_data();
    void refreshClockFollowsReports();
};

// A display's refreshes as the X server reports them: each report comes some time after its
// refresh, by up to `jitterMs`, and some refreshes go unreported. Report 100 may change the rate
// and start the counter again from 5 (another display); report `lateAt` comes 6 ms late.
void TestDisplayPacing::refreshClockFollowsReports_data()
{
    QTest::addColumn<double>("firstHz");
    QTest::addColumn<double>("thenHz");
    QTest::addColumn<int>("maxStep"); // refreshes from one report to the next: 1 to maxStep
    QTest::addColumn<double>("jitterMs");
    QTest::addColumn<int>("lateAt");
    QTest::addColumn<bool>("counterRestarts");

    QTest::newRow("60 Hz, reports late by up to 1.2 ms") << 60.0 << 60.0 << 1 << 1.2 << -1 << false;
    QTest::newRow("144 Hz") << 144.0 << 144.0 << 1 << 0.5 << -1 << false;
    QTest::newRow("refreshes missed") << 60.0 << 60.0 << 3 << 1.2 << -1 << false;
    QTest::newRow("one report 6 ms late") << 60.0 << 60.0 << 1 << 1.2 << 80 << false;
    QTest::newRow("rate changes to 144 Hz") << 60.0 << 144.0 << 1 << 0.5 << -1 << false;
    QTest::newRow("another display at 75 Hz") << 60.0 << 75.0 << 1 << 1.2 << -1 << true;
}

// Once settled, and with a single late report passed over, the clock estimates each next refresh
// within a millisecond of when it comes (as reported on average), and its estimates for consecutive
// reports step by as many periods as refreshes passed, within half a millisecond: what keeps the
// frames' scene times even.
void TestDisplayPacing::refreshClockFollowsReports()
{
    QFETCH(double, firstHz);
    QFETCH(double, thenHz);
    QFETCH(int, maxStep);
    QFETCH(double, jitterMs);
    QFETCH(int, lateAt);
    QFETCH(bool, counterRestarts);

    std::mt19937 random(15);
    std::uniform_int_distribution<int> steps(1, maxStep);
    std::uniform_real_distribution<double> lateness(0, jitterMs * 1e6);
    const double meanLateNs = jitterMs * 1e6 / 2;

    RefreshClock clock;
    double periodNs = 1e9 / firstHz;
    double refreshNs = 5e9; // when refresh `msc` came
    quint64 msc = 1000;
    double estimatedNext = 0; // the clock's estimate of refresh msc + 1, after the last report
    for (int i = 0; i < 200; ++i) {
        const int step = steps(random);
        if (i == 100) {
            periodNs = 1e9 / thenHz;
            msc = counterRestarts ? 5 : msc;
        }
        msc += step;
        refreshNs += step * periodNs;
        const double reportNs = refreshNs + lateness(random) + (i == lateAt ? 6e6 : 0);
        clock.observe(msc, qint64(reportNs));
        QVERIFY(clock.isKnown() || i == 0);

        const double next = clock.timeOf(msc + 1);
        // Twelve reports (0.2 s at 60 Hz) after the start and after report 100 to settle.
        if (i > 12 && (i < 100 || i > 112)) {
            const QString at = QStringLiteral("report %1").arg(i);
            QVERIFY2(std::abs(next - (refreshNs + periodNs + meanLateNs)) < 1e6, qPrintable(at));
            QVERIFY2(std::abs(next - estimatedNext - step * periodNs) < 0.5e6, qPrintable(at));
            QVERIFY2(clock.nextAfter(qint64(reportNs)) == msc + 1, qPrintable(at));
            QVERIFY2(clock.nextAfter(qint64(refreshNs + 2.5 * periodNs)) == msc + 3,
                     qPrintable(at));
        }
        estimatedNext = next;
    }
}

QTEST_MAIN(TestDisplayPacing)
#include "tst_displaypacing.moc"
