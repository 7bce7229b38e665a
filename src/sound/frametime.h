#ifndef FRAMETIME_H
#define FRAMETIME_H

#include "musicsource.h"

#include <QtGlobal>

// How long `frames` sample frames at the show's rate last, in ns, without overflow for days of
// sound.
inline qint64 framesToNs(qint64 frames)
{
    return frames / musicRateHz * 1'000'000'000
        + frames % musicRateHz * 1'000'000'000 / musicRateHz;
}

#endif // FRAMETIME_H
