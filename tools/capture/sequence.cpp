#include "sequence.h"

#include "window.h"

#include <QElapsedTimer>
#include <QPainter>

FrameSequence::FrameSequence(const QList<Instruction *> &scenes, int fps)
    : instructions(scenes), framesPerSecond(fps), scratch(1, 1, QImage::Format_RGB32)
{
    scratch.fill(Qt::black);
}

void FrameSequence::paint(qint64 timeMs, QImage &image)
{
    // A fresh painter per frame, as each paint event of the window opens one.
    QPainter painter(&image);
    if (drawSequenceFrame(instructions, current, offset, timeMs - sceneStart, painter))
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
