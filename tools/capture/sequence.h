#ifndef SEQUENCE_H
#define SEQUENCE_H

#include "framepainter.h"
#include "window.h"

#include <QImage>
#include <QList>

class Instruction;

// The demo's scene sequence played at a fixed frame rate: frame n is painted at sequence time
// n * 1000 / fps ms, through the same frame step the window's paint uses, so scenes hand over
// exactly where they would in the demo, and fitted to the frame's size as the window fits them.
class FrameSequence
{
public:
    FrameSequence(const QList<Instruction *> &scenes, int fps);

    // Sequence time of frame `frame`, in ms, truncated like a millisecond clock.
    static qint64 frameTimeMs(qint64 frame, int fps) { return frame * 1000 / fps; }

    int fps() const { return framesPerSecond; }
    // Index of the frame that drawNext() paints.
    qint64 nextFrame() const { return next; }

    // Paints the next frame onto image (which keeps whatever the sequence does not paint over,
    // like a window's backing store).
    void drawNext(QImage &image);
    // Runs the sequence up to, not including, frame `frame` without keeping the pictures.
    void skipTo(qint64 frame);
    // Runs the frames before sequence time timeMs, then paints the sequence at timeMs itself.
    // The sequence is not meant to go on afterwards unless timeMs was a frame time.
    void drawAt(qint64 timeMs, QImage &image);

    // Nanoseconds spent painting onto the caller's images (the skipped frames not counted).
    qint64 drawingNs() const { return drawingTimeNs; }
    // Frames painted onto the caller's images.
    qint64 drawnFrames() const { return drawn; }

private:
    // One frame of the sequence at sequence time timeMs, the scene drawn by drawScene.
    void step(qint64 timeMs, const SceneDraw &drawScene);
    // The frame at timeMs, painted onto image as the window paints it.
    void paint(qint64 timeMs, QImage &image);
    // The frame at timeMs, drawn onto a one-pixel scratch image: only the sequence moves on.
    void skip(qint64 timeMs);

    QList<Instruction *> instructions;
    FramePainter painter;
    int framesPerSecond;
    int current = 0;
    int offset = 0; // seek offset, ms; nothing seeks during a capture
    qint64 sceneStart = 0; // sequence time at which the current scene's clock started, ms
    qint64 next = 0;
    qint64 drawingTimeNs = 0;
    qint64 drawn = 0;
    // Skipped frames are painted here: a scene's end depends on its time, not on the size of
    // the picture, and a one-pixel picture costs next to nothing to paint.
    QImage scratch;
};

#endif // SEQUENCE_H
