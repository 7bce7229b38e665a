#ifndef SEQUENCE_H
#define SEQUENCE_H

#include "framepainter.h"
#include "show.h"

#include <QImage>
#include <QList>

#include <vector>

class Instruction;

// The demo's show played offline at a fixed frame rate: frame n shows the demo at music position
// n * 1000 / fps ms, as the window's show (Show) plays it, fitted to the frame's size as the
// window fits it.
class FrameSequence
{
public:
    FrameSequence(const QList<Instruction *> &scenes, int fps);

    // Sequence time of frame `frame`, in ms, truncated like a millisecond clock.
    static qint64 frameTimeMs(qint64 frame, int fps) { return frame * 1000 / fps; }

    int fps() const { return framesPerSecond; }

    // Paints the next frame onto image (which keeps whatever the sequence does not paint over,
    // like a window's backing store).
    void drawNext(QImage &image);
    // The music's beats (ns from its start, ascending), all of them: the scenes' moments land on
    // them.
    void setBeats(std::vector<qint64> beatsNs) { show.setAllBeats(std::move(beatsNs)); }
    // Goes on at frame `frame`, passing over the frames before it.
    void skipTo(qint64 frame) { next = std::max(next, frame); }
    // Paints the demo at music position timeMs.
    void drawAt(qint64 timeMs, QImage &image);

    // Nanoseconds spent painting onto the caller's images.
    qint64 drawingNs() const { return drawingTimeNs; }
    // Frames painted onto the caller's images.
    qint64 drawnFrames() const { return drawn; }

private:
    Show show;
    FramePainter painter;
    int framesPerSecond;
    qint64 next = 0;
    qint64 drawingTimeNs = 0;
    qint64 drawn = 0;
};

#endif // SEQUENCE_H
