#ifndef FRAMEPAINTER_H
#define FRAMEPAINTER_H

#include "scenekit.h"
#include "scenesequence.h"

#include <QImage>
#include <QList>
#include <QRect>
#include <QRegion>
#include <QSize>
#include <QThreadPool>

#include <functional>

class Instruction;
class QPainter;

// Device pixels per composition pixel on a frame of `devicePixels`: the whole 1920x1080
// composition fills the frame in one direction and is centred in the other. The same as the
// window's logical size fitted (s = min(W / 1920, H / 1080)) times the screen's pixel ratio, so
// a user's QT_SCALE_FACTOR does not change the picture.
qreal fitScale(QSize devicePixels);

// Where the composition goes on a frame of `devicePixels`: 1920x1080 scaled by fitScale(),
// rounded down to whole device pixels and centred; a pixel left over goes to the right or bottom
// bar. The composition's own fit dimension fills the frame. Rounded down, a scene drawn into it
// sees a viewport of exactly 1920x1080 logical pixels at every scale of 1 or more, and at
// smaller ones wherever whole pixels allow it (every common screen): at worst one pixel less.
QRect fittedRect(QSize devicePixels);

// Where a region of scene coordinates (logical pixels from the composition's centre, as
// ChangingParts gives them) lies on a frame of `devicePixels`, in its device pixels: rounded
// outwards with a pixel to spare, for the scenes' rounding and smoothing, and within the fitted
// rectangle.
QRegion deviceRegion(QSize devicePixels, const QRegion &scene);

// Each rectangle of `region` scaled by `factor`, rounded outwards to whole pixels: a window's
// region in logical pixels to device pixels and back.
QRegion scaledOutwards(const QRegion &region, qreal factor);

// Paints frames of the scenes onto images of any size: the composition scaled to fit the image,
// letterboxed. The scene draws into the fitted rectangle only, seeing it as its whole viewport
// (1920x1080), so whatever enters from the viewport's edges enters at the composition's edges;
// the bars around it are filled with the scene colour. The scene's part is painted in horizontal
// bands at once, one per thread. Each band has its own painter on the same pixels, clipped to
// the band and set up as one painter on the whole fitted rectangle would be, so a scene sees the
// whole viewport in every band. Before the first frame at a new fit, the scenes that keep
// copies for a scale (ScaleAware) are prepared for it, once.
class FramePainter
{
public:
    explicit FramePainter(const QList<Instruction *> &scenes = {}, int threads = idealThreads());
    ~FramePainter();

    // The scenes to prepare for a new fit: all of them, so that none is prepared in the middle of
    // the show.
    void setScenes(const QList<Instruction *> &scenes);

    static int idealThreads();
    int threads() const { return bandCount; }

    // Prepares the scenes for frames of `devicePixels` without drawing: makes their copies for
    // that fit unless they have them already. draw() calls it when the fit changes; calling it
    // ahead (say, for the screen's size before the show starts) keeps that work out of the show.
    void prepareFor(QSize devicePixels);

    // Draws scene at scene time t (ms) on the frame, whose size in device pixels sets the fit,
    // or only the frame's pixels in `only` when it is not empty; returns what the scene's draw
    // returned.
    bool draw(Instruction &scene, long t, QImage &frame, const QRegion &only = QRegion());
    // Draws the sequence's frame `at` (its scene at its scene time) the same way; past the last
    // scene nothing is drawn, and it returns false.
    bool draw(const SceneSequence &sequence, const SceneSequence::Frame &at, QImage &frame,
              const QRegion &only = QRegion());

    // Runs paint once per band of the frame's `area`, each on its own thread with a painter on
    // that area alone (its viewport), clipped to the band (and to `only`, unless it is empty) and
    // scaled by `scale`; the rest of the frame is filled with the scene colour. Returns what
    // paint returned for the first band.
    bool paintBands(QImage &frame, const QRect &area, qreal scale,
                    const std::function<bool(QPainter &)> &paint, const QRegion &only = QRegion());
    // The same on the whole frame.
    bool paintBands(QImage &frame, qreal scale, const std::function<bool(QPainter &)> &paint);

private:
    // Paints band `band` of `bands` alone: what paintBands() does on one of its threads.
    static bool paintBand(QImage &frame, const QRect &area, int band, int bands, qreal scale,
                          const std::function<bool(QPainter &)> &paint, const QRegion &only);

    QList<Instruction *> scenes;
    int bandCount;
    qreal preparedScale = 0; // none yet
    QThreadPool pool;
};

#endif // FRAMEPAINTER_H
