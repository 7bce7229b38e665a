#include "sequence.h"

#include <QElapsedTimer>

FrameSequence::FrameSequence(const QList<Instruction *> &scenes, int fps)
    : sequence(scenes), painter(scenes), framesPerSecond(fps)
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
    const SceneSequence::Frame frame = sequence.at(timeMs * 1'000'000);
    // Past the last scene nothing is drawn, as in the window.
    if (Instruction *scene = sequence.scene(frame.scene))
        painter.draw(*scene, frame.timeMs, image);
    drawingTimeNs += timer.nsecsElapsed();
    ++drawn;
}
