#include "sequence.h"

#include <QElapsedTimer>

FrameSequence::FrameSequence(const QList<Instruction *> &scenes, int fps)
    : show(scenes), painter(scenes), framesPerSecond(fps)
{ }

void FrameSequence::drawNext(QImage &image)
{
    drawAt(frameTimeMs(next, framesPerSecond), image);
    ++next;
}

void FrameSequence::drawAt(qint64 timeMs, QImage &image)
{
    QElapsedTimer timer;
    timer.start();
    painter.draw(show.sceneSequence(), show.frameAtMusic(timeMs * 1'000'000), image);
    drawingTimeNs += timer.nsecsElapsed();
    ++drawn;
}
