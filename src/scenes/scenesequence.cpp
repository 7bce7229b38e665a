#include "scenesequence.h"

#include "instruction.h"

#include <algorithm>

SceneSequence::SceneSequence(const QList<Instruction *> &scenes) : instructions(scenes) { }

qint64 SceneSequence::follow(qint64 musicNs)
{
    if (passLengthNs > 0 && musicNs / passLengthNs != pass) {
        pass = musicNs / passLengthNs;
        current = 0;
        startNs = seekedAtNs = pass * passLengthNs;
        offsetMs = 0;
        anchors = planned;
        shownNs = -1;
    }
    const qint64 passStartNs = pass * passLengthNs;
    shownNs = std::max(shownNs, musicNs - passStartNs);
    return passStartNs + showAt(anchors, musicNs - passStartNs);
}

void SceneSequence::advance(qint64 showNs)
{
    while (current < instructions.size()) {
        const long endMs = instructions.at(current)->endTime();
        if (endMs == Instruction::noEnd || sceneTimeMs(showNs) < endMs)
            break;
        // The show position where the scene's time reached its end.
        startNs = std::max(startNs + (endMs - offsetMs) * 1'000'000, seekedAtNs);
        seekedAtNs = startNs;
        offsetMs = 0;
        ++current;
    }
}

SceneSequence::Frame SceneSequence::at(qint64 musicNs)
{
    const qint64 showNs = follow(musicNs);
    advance(showNs);
    return {current, sceneTimeMs(showNs)};
}

void SceneSequence::seek(qint64 musicNs, int deltaMs)
{
    const qint64 showNs = follow(musicNs);
    advance(showNs);
    if (current >= instructions.size())
        return;
    offsetMs += deltaMs;
    seekedAtNs = showNs;
    advance(showNs);
    replan(musicNs - pass * passLengthNs, false);
}

std::vector<ShowEvent> SceneSequence::eventsAfter(int scene, qint64 sceneStartNs, int offset,
                                                  qint64 afterNs) const
{
    // Moments beyond the last beat meet none; the show runs at most twice its own pace.
    const qint64 lastNs = beats.empty() ? afterNs : afterNs + 2 * beats.back();
    std::vector<ShowEvent> events;
    for (; scene < instructions.size(); ++scene) {
        const Instruction *instruction = instructions.at(scene);
        const SceneEvents marked = instruction->events();
        const qint64 repeatNs = qint64(marked.repeatEveryMs) * 1'000'000;
        const auto add = [&](long timeMs) {
            const qint64 showNs = sceneStartNs + (timeMs - offset) * 1'000'000;
            if (showNs > afterNs)
                events.push_back({showNs, repeatNs});
            return showNs <= lastNs;
        };
        for (const SceneEvent &event : marked.once)
            add(event.timeMs);
        long timeMs = marked.once.isEmpty() ? 0 : marked.once.last().timeMs;
        while (repeatNs > 0 && add(timeMs += marked.repeatEveryMs)) { }
        // A scene that ends marks its end: the cut to the next.
        const long endMs = instruction->endTime();
        if (endMs == Instruction::noEnd)
            break;
        add(endMs);
        sceneStartNs += (endMs - offset) * 1'000'000;
        offset = 0;
        if (sceneStartNs > lastNs)
            break;
    }
    return events;
}

void SceneSequence::replan(qint64 musicNs, bool keepNext)
{
    std::vector<TimingAnchor> kept;
    for (const TimingAnchor &anchor : anchors) {
        if (anchor.musicNs > musicNs && (!keepNext || kept.back().musicNs > musicNs))
            break;
        kept.push_back(anchor);
    }
    if (kept.back().musicNs < musicNs)
        kept.push_back({musicNs, showAt(anchors, musicNs)});
    const qint64 passStartNs = pass * passLengthNs;
    planOnBeats(kept, eventsAfter(current, startNs - passStartNs, offsetMs, kept.back().showNs),
                beats, beatsKnownNs);
    anchors = std::move(kept);
}

void SceneSequence::setBeats(std::vector<qint64> beatsNs, qint64 knownUntilNs)
{
    beats = std::move(beatsNs);
    beatsKnownNs = knownUntilNs;
    planned.assign(1, TimingAnchor {0, 0}); // not from a list, which GCC 14 warns of in error
    planOnBeats(planned, eventsAfter(0, 0, 0, 0), beats, beatsKnownNs);
    if (shownNs < 0)
        anchors = planned;
    else
        replan(shownNs, true);
}
