#include "sequence.h"

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

void FrameSequence::paint(qint64 timeMs, QImage &image)
{
    // Fresh painters per frame, as each paint event of the window opens them. The scratch frames
    // are drawn by one plain painter: nobody sees them, and a fit to one pixel would have the
    // scenes prepare copies for it.
    bool ended = false;
    if (&image == &scratch) {
        QPainter plain(&image);
        ended = drawSequenceFrame(instructions, current, offset, timeMs - sceneStart, plain);
    } else {
        ended = drawSequenceFrame(
            instructions, current, offset, timeMs - sceneStart,
            [&](Instruction &scene, long t) { return painter.draw(scene, t, image); });
    }
    if (ended)
        sceneStart = timeMs; // the next scene's clock starts at zero here
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
        paint(frameTimeMs(next, framesPerSecond), scratch);
}

void FrameSequence::drawAt(qint64 timeMs, QImage &image)
{
    while (frameTimeMs(next, framesPerSecond) < timeMs) {
        paint(frameTimeMs(next, framesPerSecond), scratch);
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
