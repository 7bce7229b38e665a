#include "refreshclock.h"

#include <algorithm>
#include <cmath>

namespace {

// A report further than this share of a period from the grid is passed over. Each such report,
// and each whose counter disagrees with the grid on how many refreshes passed, counts one
// mismatch; each other report takes one off. At `mismatchesToRestart` the display has changed:
// the period is measured anew, as the median of `measuredIntervals` intervals (per refresh
// counted), while the old grid goes on.
constexpr double outlierShare = 0.25;
constexpr int mismatchesToRestart = 8;
// Over this many reports the period is measured over the whole span since the grid began; after
// that it follows drift only.
constexpr int learningReports = 32;
// How far each report on the grid moves the grid's phase, and its period.
constexpr double phaseGain = 0.25;
constexpr double periodGain = 1.0 / 1024;

} // namespace

void RefreshClock::startGrid(quint64 msc, double timeNs)
{
    started = true;
    baseMsc = latestMsc = msc;
    anchorNs = baseNs = latestNs = timeNs;
    reports = 1;
    mismatches = 0;
}

void RefreshClock::observe(quint64 msc, qint64 timeNs)
{
    const double t = double(timeNs);
    if (!started || msc < latestMsc) { // the first report, or a counter that went back
        startGrid(msc, t);
        measured = 0;
        measuring = periodNs <= 0;
        return;
    }
    if (msc == latestMsc)
        return; // the same refresh again (a request for a past refresh is answered at once)
    const quint64 counted = msc - latestMsc;
    const double sinceLatest = t - latestNs;
    latestMsc = msc;
    latestNs = t;

    if (measuring) { // the period: the median interval per refresh counted, past stray reports
        intervals[measured++] = sinceLatest / double(counted);
        if (measured < measuredIntervals)
            return;
        std::nth_element(intervals, intervals + measuredIntervals / 2,
                         intervals + measuredIntervals);
        periodNs = intervals[measuredIntervals / 2];
        measuring = false;
        startGrid(msc, t);
        return;
    }

    // Refreshes since the latest report on the grid, by time: the counter may skip or, on
    // XWayland, count a refresh too many.
    const double refreshes = std::max(1.0, std::round((t - baseNs) / periodNs));
    const double predicted = baseNs + refreshes * periodNs;
    const double error = t - predicted;
    const bool offGrid = std::abs(error) > outlierShare * periodNs;
    if (offGrid || double(msc - baseMsc) != refreshes) {
        if (++mismatches >= mismatchesToRestart) { // the display changed: measure it anew
            startGrid(msc, t);
            measured = 0;
            measuring = true;
            return;
        }
    } else {
        mismatches = std::max(0, mismatches - 1);
    }
    if (offGrid)
        return;
    ++reports;
    if (reports <= learningReports)
        periodNs = (t - anchorNs) / std::max(1.0, std::round((t - anchorNs) / periodNs));
    else
        periodNs += periodGain * error / refreshes;
    baseNs = predicted + phaseGain * error;
    baseMsc = msc;
}

void RefreshClock::assumePeriod(qint64 ns)
{
    if (!started && ns > 0)
        periodNs = double(ns);
}

qint64 RefreshClock::nextShownAt(qint64 timeNs) const
{
    if (!isKnown())
        return timeNs;
    const double after = std::max(double(timeNs), baseNs);
    return qint64(std::llround(baseNs + (std::floor((after - baseNs) / periodNs) + 1) * periodNs));
}
