#ifndef SCENESEQUENCE_H
#define SCENESEQUENCE_H

#include "beattiming.h"

#include <QList>
#include <QtGlobal>

#include <vector>

class Instruction;

// Which scene runs, and at what scene time, at a position of the music. The scenes play one after
// the other from music position 0: each from its scene time 0 to its end (Instruction::endTime()),
// where the next one starts, whether or not a frame is painted then. Seeking shifts the running
// scene's time; the next scene starts with the shift cleared. With a pass length, the music and
// the scenes start over at every multiple of it.
//
// Given the music's beats, the scenes' moments that the music marks land on them (planOnBeats):
// the scenes run on a show clock that meets the music at those beats, evenly in between. Without
// beats, and where none are known yet, the show clock is the music's position: the own timing.
// Every pass plays alike; a seek plans the moments to come on the beats again.
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
    // The music's beats (ns from its start, ascending), known up to `knownUntilNs`: more may come
    // later. What has been shown stays as it was.
    void setBeats(std::vector<qint64> beatsNs, qint64 knownUntilNs);
    // Shifts the time of the scene running at `musicNs` by `deltaMs`. Shifted past its end, the
    // scene ends there, and the next one starts at `musicNs`.
    void seek(qint64 musicNs, int deltaMs);

private:
    // Scene time (ms) of the current scene at show position `showNs`: the show played since the
    // scene started, in whole ms, plus the seek offset.
    long sceneTimeMs(qint64 showNs) const { return (showNs - startNs) / 1'000'000 + offsetMs; }
    // Moves on past every scene that has ended by show position `showNs`.
    void advance(qint64 showNs);
    // The show position at music position `musicNs`, starting a new pass where one is due.
    qint64 follow(qint64 musicNs);
    // The moments to come after show position `afterNs` (in the pass) of the scene `scene`, started
    // at `startNs` with the seek offset `offset`, and of the scenes after it.
    std::vector<ShowEvent> eventsAfter(int scene, qint64 startNs, int offset, qint64 afterNs) const;
    // Plans the moments to come on the beats again, from pass position `musicNs` on: the anchors
    // up to it stay, and with `keepNext` the one after it too.
    void replan(qint64 musicNs, bool keepNext);

    QList<Instruction *> instructions;
    qint64 passLengthNs = 0;
    qint64 pass = 0;
    int current = 0;
    qint64 startNs = 0; // the show position where the current scene started
    qint64 seekedAtNs = 0; // ... or was last shifted: it cannot have ended before that
    int offsetMs = 0; // the seek offset

    std::vector<qint64> beats; // ns into a pass
    qint64 beatsKnownNs = 0;
    std::vector<TimingAnchor> planned {{0, 0}}; // where each pass meets the beats
    std::vector<TimingAnchor> anchors {{0, 0}}; // ... and this one, with its seeks
    qint64 shownNs = -1; // the furthest music position asked in this pass
};

#endif // SCENESEQUENCE_H
