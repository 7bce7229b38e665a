#include "scenesequence.h"

#include "instruction.h"

#include <algorithm>

SceneSequence::SceneSequence(const QList<Instruction *> &scenes) : instructions(scenes) { }

void SceneSequence::advance(qint64 musicNs)
{
    if (passLengthNs > 0 && musicNs / passLengthNs != pass) {
        pass = musicNs / passLengthNs;
        current = 0;
        startNs = seekedAtNs = pass * passLengthNs;
        offsetMs = 0;
    }
    while (current < instructions.size()) {
        const long endMs = instructions.at(current)->endTime();
        if (endMs == Instruction::noEnd || sceneTimeMs(musicNs) < endMs)
            break;
        // The music position where the scene's time reached its end.
        startNs = std::max(startNs + (endMs - offsetMs) * 1'000'000, seekedAtNs);
        seekedAtNs = startNs;
        offsetMs = 0;
        ++current;
    }
}

SceneSequence::Frame SceneSequence::at(qint64 musicNs)
{
    advance(musicNs);
    return {current, sceneTimeMs(musicNs)};
}

void SceneSequence::seek(qint64 musicNs, int deltaMs)
{
    advance(musicNs);
    if (current >= instructions.size())
        return;
    offsetMs += deltaMs;
    seekedAtNs = musicNs;
    advance(musicNs);
}
