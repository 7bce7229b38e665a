#include "scenelist.h"

#include "forest.h"
#include "mince.h"

#include <cstring>

QList<Instruction *> createScenes()
{
    return {
        new Forest,
        new Mince,
    };
}

SceneMoment findEvent(const QList<Instruction *> &scenes, const char *name)
{
    for (int i = 0; i < scenes.size(); ++i) {
        for (const SceneEvent &event : scenes.at(i)->events().once) {
            if (std::strcmp(event.name, name) == 0)
                return {i, event.timeMs};
        }
    }
    return {};
}
