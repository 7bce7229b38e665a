#ifndef BEATTIMING_H
#define BEATTIMING_H

#include <QtGlobal>

#include <vector>

// Where the show's clock meets the music: at music position `musicNs` the show stands at
// `showNs`, the position its own timing reaches at music position `showNs`.
struct TimingAnchor
{
    qint64 musicNs;
    qint64 showNs;
};

// A moment of the show that the music marks, at show position `showNs`. Its scene's moments
// recur every `repeatNs` (0: they do not).
struct ShowEvent
{
    qint64 showNs;
    qint64 repeatNs;
};

// The show's position at music position `musicNs`: between two anchors it runs evenly from one to
// the other, before the first and after the last at its own pace. The anchors ascend.
qint64 showAt(const std::vector<TimingAnchor> &anchors, qint64 musicNs);

// Puts the show's coming moments on the music's beats, appending an anchor for each to `anchors`
// (which holds one at least). From the last anchor on, each of `events` after it (ascending) goes
// to the beat nearest where it would fall: at the show's own pace, or for recurring moments every
// whole number of beats nearest their period (one beat at least). The show runs no faster than
// twice its own pace and no slower than half of it; a moment with no beat within half a beat of
// where it would fall (a song's intro, a gap in its beat) gets no anchor and keeps the pace around
// it. `beatsNs` ascend and are known up to `knownUntilNs`: moments beyond that wait for more.
void planOnBeats(std::vector<TimingAnchor> &anchors, const std::vector<ShowEvent> &events,
                 const std::vector<qint64> &beatsNs, qint64 knownUntilNs);

#endif // BEATTIMING_H
