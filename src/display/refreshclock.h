#ifndef REFRESHCLOCK_H
#define REFRESHCLOCK_H

#include <QtGlobal>

// When a display refreshes, learnt from the refreshes it reports (each one's counter, the MSC, and
// time): a steady grid of refresh times, its period measured and refined, its phase moved a little
// by each report near it. Reports far from the grid are passed over, unless they keep disagreeing
// (a new rate or display), which has the period measured anew. Why: docs/performance.md.
class RefreshClock
{
public:
    // Refresh `msc` happened at `timeNs`, ns on the monotonic clock.
    void observe(quint64 msc, qint64 timeNs);
    // The period to start from, before the first report, if the display says what it is; the
    // reports correct it.
    void assumePeriod(qint64 ns);

    bool hasReports() const { return started; }
    quint64 lastMsc() const { return latestMsc; }
    // Whether the grid is known: once the period is measured or assumed, and a report came.
    bool isKnown() const { return started && periodNs > 0; }
    qint64 period() const { return qint64(periodNs); } // ns; 0 while unknown

    // When a frame painted at `timeNs` is shown: the first refresh of the grid after both
    // `timeNs` and the latest refresh on the grid reported; `timeNs` while the grid is unknown.
    qint64 nextShownAt(qint64 timeNs) const;

private:
    void startGrid(quint64 msc, double timeNs);

    static constexpr int measuredIntervals = 15;

    bool started = false;
    quint64 latestMsc = 0; // the latest report
    double latestNs = 0;
    double anchorNs = 0; // the report the grid began with
    quint64 baseMsc = 0; // the latest report on the grid, with the grid's time for it
    double baseNs = 0;
    double periodNs = 0;
    int reports = 0; // on the grid since it began
    int mismatches = 0; // reports that disagreed with the grid, lately
    bool measuring = false; // the period, from the intervals between reports
    double intervals[measuredIntervals] = {};
    int measured = 0;
};

#endif // REFRESHCLOCK_H
