#ifndef SCENELIST_H
#define SCENELIST_H

#include <QList>

class Instruction;

// The demo's scenes in playing order, each created on the heap and never deleted. A new scene is
// one line here.
QList<Instruction *> createScenes();

// A moment of the show: a scene, by its index in the list, and a scene time.
struct SceneMoment
{
    int scene = -1; // none
    long timeMs = 0;
};
// The first event named `name` (SceneEvent) among the scenes' own, in playing order.
SceneMoment findEvent(const QList<Instruction *> &scenes, const char *name);

#endif // SCENELIST_H
