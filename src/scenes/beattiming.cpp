#include "beattiming.h"

#include <algorithm>
#include <cstdlib>

namespace {

// The beat period around music position `musicNs`: the median of the 8 beat intervals nearest it.
qint64 periodAround(const std::vector<qint64> &beatsNs, qint64 musicNs)
{
    const auto near = std::lower_bound(beatsNs.begin(), beatsNs.end(), musicNs);
    const auto first = near - std::min<std::ptrdiff_t>(near - beatsNs.begin(), 4);
    const auto last = near + std::min<std::ptrdiff_t>(beatsNs.end() - near, 4);
    std::vector<qint64> intervals;
    for (auto beat = first; beat + 1 < last; ++beat)
        intervals.push_back(*(beat + 1) - *beat);
    std::nth_element(intervals.begin(), intervals.begin() + intervals.size() / 2, intervals.end());
    return intervals[intervals.size() / 2];
}

} // namespace

qint64 showAt(const std::vector<TimingAnchor> &anchors, qint64 musicNs)
{
    auto next = std::upper_bound(
        anchors.begin(), anchors.end(), musicNs,
        [](qint64 music, const TimingAnchor &anchor) { return music < anchor.musicNs; });
    if (next == anchors.begin() || next == anchors.end()) {
        const TimingAnchor &at = next == anchors.begin() ? anchors.front() : anchors.back();
        return at.showNs + (musicNs - at.musicNs);
    }
    const TimingAnchor &from = *(next - 1);
    return from.showNs
        + qint64(__int128(musicNs - from.musicNs) * (next->showNs - from.showNs)
                 / (next->musicNs - from.musicNs));
}

void planOnBeats(std::vector<TimingAnchor> &anchors, const std::vector<ShowEvent> &events,
                 const std::vector<qint64> &beatsNs, qint64 knownUntilNs)
{
    if (beatsNs.size() < 3)
        return;
    for (const ShowEvent &event : events) {
        const TimingAnchor from = anchors.back();
        const qint64 showSpan = event.showNs - from.showNs;
        if (showSpan <= 0)
            continue;
        const qint64 periodNs = periodAround(beatsNs, from.musicNs);
        // Music per show: 1 at the show's own pace; recurring moments every whole number of beats.
        double pace = 1;
        if (event.repeatNs > 0)
            pace = std::max<qint64>(1, (event.repeatNs + periodNs / 2) / periodNs)
                * double(periodNs) / double(event.repeatNs);
        const qint64 target = from.musicNs + qint64(double(showSpan) * pace);
        if (target > knownUntilNs - 2 * periodNs)
            return;
        const qint64 soonest = from.musicNs + (showSpan + 1) / 2;
        const qint64 latest = from.musicNs + 2 * showSpan;
        qint64 best = -1;
        // Within a little more than half a beat: where the moment falls halfway between two
        // beats, one of them.
        const qint64 reachNs = periodNs * 3 / 5;
        for (auto beat = std::lower_bound(beatsNs.begin(), beatsNs.end(), target - reachNs);
             beat != beatsNs.end() && *beat <= target + reachNs; ++beat) {
            if (*beat >= soonest && *beat <= latest
                && (best < 0 || std::llabs(*beat - target) < std::llabs(best - target)))
                best = *beat;
        }
        if (best >= 0)
            anchors.push_back({best, event.showNs});
    }
}
