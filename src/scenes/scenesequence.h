#ifndef SCENESEQUENCE_H
#define SCENESEQUENCE_H

#include <QList>
#include <QtGlobal>

class Instruction;

// Which scene runs, and at what scene time, at a position of the music. The scenes play one after
// the other from music position 0: each from its scene time 0 to its end (Instruction::endTime()),
// where the next one starts, whether or not a frame is painted then. Seeking shifts the running
// scene's time; the next scene starts with the shift cleared. With a pass length, the music and
// the scenes start over at every multiple of it.
class SceneSequence
{
public:
    struct Frame
    {
        int scene; // index into the scenes; their count past the last one
        long timeMs; // scene time
    };

    explicit SceneSequence(const QList<Instruction *> &scenes = {});

    const QList<Instruction *> &scenes() const { return instructions; }
    // The scene at `index`, or null past the last one.
    Instruction *scene(int index) const
    {
        return index >= 0 && index < instructions.size() ? instructions.at(index) : nullptr;
    }

    // Every `passNs` ns of music the sequence starts over (0: it plays once).
    void setPassLength(qint64 passNs) { passLengthNs = passNs; }

    // The scene and its time at music position `musicNs`. Positions are asked in order.
    Frame at(qint64 musicNs);
    // Shifts the time of the scene running at `musicNs` by `deltaMs`. Shifted past its end, the
    // scene ends there, and the next one starts at `musicNs`.
    void seek(qint64 musicNs, int deltaMs);

private:
    // Scene time (ms) of the current scene at music position `musicNs`: the music played since
    // the scene started, in whole ms, plus the seek offset.
    long sceneTimeMs(qint64 musicNs) const { return (musicNs - startNs) / 1'000'000 + offsetMs; }
    // Moves on past every scene that has ended by `musicNs`.
    void advance(qint64 musicNs);

    QList<Instruction *> instructions;
    qint64 passLengthNs = 0;
    qint64 pass = 0;
    int current = 0;
    qint64 startNs = 0; // the music position where the current scene started
    qint64 seekedAtNs = 0; // ... or was last shifted: it cannot have ended before that
    int offsetMs = 0; // the seek offset
};

#endif // SCENESEQUENCE_H
