#ifndef INSTRUCTION_H
#define INSTRUCTION_H

#include <QPainter>
#include <QRect>
#include <QRegion>
#include <QVector>

#include <climits>

// A moment of a scene that its music marks, such as a hop or a swallow.
struct SceneEvent
{
    long timeMs; // scene time
    const char *name;
};

// The moments of a scene that its music marks: `once`, in order, and then the last of them again
// every `repeatEveryMs` ms (0: never). A scene that ends marks its end too.
struct SceneEvents
{
    QVector<SceneEvent> once;
    long repeatEveryMs = 0;
};

// One scene of the demo. draw() paints the frame at scene time t (milliseconds since the scene
// started, negative after seeking back) and returns false once the scene has finished.
//
// A frame may be painted in bands by several threads at once, each with its own painter clipped
// to its band: draw() must not change the scene's state, and a clip it sets must intersect the
// painter's clip rather than replace it.
class Instruction
{
public:
    static constexpr long noEnd = LONG_MAX;

    virtual bool draw(long t, QPainter &painter) = 0;
    // The scene time (ms) from which the scene has finished: draw() returns false from then on,
    // and the next scene runs. A scene that never finishes by itself says noEnd.
    virtual long endTime() const { return noEnd; }
    // How long the scene's timeline runs: its end, or for a scene that never ends, until its
    // picture repeats what it has shown. Tools that play a scene whole stop there.
    virtual long lengthMs() const { return endTime(); }
    // The scene's name, for reports.
    virtual const char *name() const { return "scene"; }
    // The moments that its music marks.
    virtual SceneEvents events() const { return {}; }

protected:
    // Scenes are never deleted through this interface.
    ~Instruction() = default;
};

// A scene that keeps copies of its images made for the device scale it is drawn at, so that it
// draws them unscaled: sharp at any scale, and faster. prepareScale() runs on the painting
// thread whenever the scale changes, before any frame is drawn at it. At a scale it was not
// prepared for, a scene still draws the same picture, with the painter scaling its images.
class ScaleAware
{
public:
    virtual void prepareScale(qreal deviceScale) = 0;

protected:
    ~ScaleAware() = default;
};

// A scene that knows where its picture changes, so that a window repaints, and sends to the
// display, only those parts; nothing at all while the picture stands still. changedBetween(from,
// to) covers every pixel that may differ between the scene's frames at scene times `from` and
// `to` (ms), in the scene's coordinates (logical pixels from the viewport's centre); it is empty
// when both frames show the same picture. It holds for frames of the same size, drawn fitted.
class ChangingParts
{
public:
    virtual QRegion changedBetween(long from, long to) const = 0;

protected:
    ~ChangingParts() = default;
};

// The whole viewport, in a scene's coordinates, for any screen.
inline QRect wholeViewport()
{
    return QRect(-32768, -32768, 65536, 65536);
}

#endif // INSTRUCTION_H
