#include "sequence.h"

#include "instruction.h"
#include "window.h"

#include <QElapsedTimer>
#include <QPainter>

FrameSequence::FrameSequence(const QList<Instruction *> &scenes, int fps)
    : instructions(scenes),
      painter(scenes),
      framesPerSecond(fps),
      scratch(1, 1, QImage::Format_RGB32)
{
    scratch.fill(Qt::black);
}

void FrameSequence::step(qint64 timeMs, const SceneDraw &drawScene)
{
    if (drawSequenceFrame(instructions, current, offset, timeMs - sceneStart, drawScene))
        sceneStart = timeMs; // the next scene's clock starts at zero here
}

void FrameSequence::paint(qint64 timeMs, QImage &image)
{
    // Fresh painters per frame, as each paint event of the window opens them.
    step(timeMs, [&](Instruction &scene, long t) { return painter.draw(scene, t, image); });
}

void FrameSequence::skip(qint64 timeMs)
{
    // Drawn by one plain painter: nobody sees the picture, and a fit to one pixel would have the
    // scenes prepare copies for it.
    QPainter plain(&scratch);
    step(timeMs, [&](Instruction &scene, long t) { return scene.draw(t, plain); });
}

void FrameSequence::drawNext(QImage &image)
{
    QElapsedTimer timer;
    timer.start();
    paint(frameTimeMs(next, framesPerSecond), image);
    drawingTimeNs += timer.nsecsElapsed();
    ++drawn;
    ++next;
}

void FrameSequence::skipTo(qint64 frame)
{
    for (; next < frame; ++next)
        skip(frameTimeMs(next, framesPerSecond));
}

void FrameSequence::drawAt(qint64 timeMs, QImage &image)
{
    while (frameTimeMs(next, framesPerSecond) < timeMs) {
        skip(frameTimeMs(next, framesPerSecond));
        ++next;
    }
    QElapsedTimer timer;
    timer.start();
    paint(timeMs, image);
    drawingTimeNs += timer.nsecsElapsed();
    ++drawn;
    if (frameTimeMs(next, framesPerSecond) == timeMs)
        ++next;
}
