#ifndef MINCE_H
#define MINCE_H

#include "instruction.h"
#include "scenekit.h"

#include <QImage>
#include <QList>
#include <QPoint>
#include <QRect>
#include <QString>

#include <algorithm>

// The second scene: a meat grinder swallows a falling character once a second and lets out a wavy
// train of small ones, while a cheese tub trailing a caption crosses the screen every 5 s. It never
// finishes.
class Mince : public Instruction, public ScaleAware, public ChangingParts
{
public:
    // The timeline, in ms of scene time.
    static constexpr long fallMs = 1000; // a character falls, and anew, at 1 px/ms
    static constexpr long swallowAtMs = 900; // into each fall: wholly in the hopper
    static constexpr long crankStepMs = 100; // one grinder frame
    static constexpr long crankSwingMs = 1100; // frames 0..5..0
    static constexpr long trainGapMs = 150; // from one small character to the next
    static constexpr long trainLapMs = 1000; // a small character's run, at 1 px/ms, and anew
    static constexpr long tubPeriodMs = 5000; // a cheese tub and caption cross, at 1 px/ms
    static constexpr int captionCount = 7; // one per tub, the last one empty
    // Positions, in px from the centre, y down.
    static constexpr int fallingLeftPx = -455;
    static constexpr int trainStartPx = -150; // where each run starts
    static constexpr int trainTopPx = -130; // the highest of the train's three strands
    static constexpr int strandSpreadPx = 70;
    static constexpr int tubTopPx = 200; // the tub enters at the right edge
    static constexpr int captionGapPx = 20; // from the tub's right edge to the caption
    static constexpr int captionBaselinePx = 400;
    // The grinder's body hides a strip from stripTopPx down and left of stripRightPx: the
    // bottom of the falling character and the start of the train.
    static constexpr int stripTopPx = -180;
    static constexpr int stripRightPx = -40;

    Mince();

    // Once the captions are over, the picture repeats itself every tub.
    long lengthMs() const override { return captionCount * tubPeriodMs; }
    const char *name() const override { return "grinder"; }
    SceneEvents events() const override { return {{{swallowAtMs, "swallow"}}, fallMs}; }

    bool draw(long t, QPainter &painter) override;

    void prepareScale(qreal deviceScale) override
    {
        scaled.prepare(deviceScale, [this](qreal scale) { return copiesAt(scale); });
    }

    // Everything but the grinder's body moves at 1 px/ms, and the crank every 100 ms. What moves
    // shows in four parts, each where it was and where it is: the falling character above the
    // grinder's mask strip, the small characters right of the strip, the crank, and the tub with
    // its caption.
    QRegion changedBetween(long from, long to) const override;

    // Grinder frame at scene time t (ms): crankStepMs per frame, the crank swinging through
    // frames 0..5..0 every crankSwingMs. Before -99 ms the remainder is negative; it is taken
    // modulo the swing's 11 steps as well, so the crank keeps swinging when time runs backwards.
    static int frameIndex(qint64 t);

    // Caption at scene time t (ms): a new one every tub. Before -4999 ms the first caption stays
    // (as from -4999 to -1 ms); from 35000 ms on, the last one, which is empty.
    static int captionIndex(qint64 t)
    {
        return int(std::clamp<qint64>(t / tubPeriodMs, 0, captionCount - 1));
    }

private:
    friend class TestMince;

    // A caption rasterised once: drawn with the left end of its baseline at `baseline` in image.
    struct Caption
    {
        QImage image;
        QPoint baseline;
    };

    // Everything the frames draw, made once for one device scale: the characters mirrored,
    // scaled and turned as the scene shows them, the grinder, the cheese tub and the captions.
    struct Copies
    {
        CopyScale scale {0};
        QImage falling; // upside down, 230 px wide
        QImage small; // 50 px wide, a quarter turn clockwise
        QList<QImage> frames;
        QImage cheese;
        QList<Caption> captions;
    };

    Copies copiesAt(qreal deviceScale) const;

    // Where the cheese tub and the caption are drawn at scene time t (ms) in a 1920 px wide
    // viewport.
    QRegion tubAndCaption(qint64 t) const;

    // The tub's top-left corner at scene time t (ms) in a viewport w px wide: it crosses right to
    // left at 1 px/ms from the right edge, every tub period.
    static QPoint tubPosition(qint64 t, int w)
    {
        return QPoint(w - int(t % tubPeriodMs), tubTopPx);
    }
    // The left end of the caption's baseline behind the tub at `tub`.
    QPoint captionBaseline(QPoint tub) const
    {
        return QPoint(tub.x() + raejuusto.width() + captionGapPx, captionBaselinePx);
    }

    // The grinder frame's right edge on the vertical centre line, centred vertically.
    QPoint grinderPosition(int frame) const
    {
        const QImage &image = frames.at(frame);
        return QPoint(-image.width(), -(image.height() / 2));
    }

    // The falling character's top-left corner at scene time t (ms) in a viewport h px tall: it
    // falls at 1 px/ms from h px above the centre, starting over every fall.
    static QPoint fallingPosition(qint64 t, int h)
    {
        return QPoint(fallingLeftPx, int(t % fallMs) - h);
    }

    // Small character i of the train (of thirty) at scene time t (ms): trainGapMs behind the one
    // before, running right from trainStartPx for a lap, in one of three strands of fixed
    // heights.
    static QPoint trainPosition(qint64 t, int i);

    // The rectangle, in scene coordinates, covering every pixel that differs between image a
    // drawn at pa and image b drawn at pb (both premultiplied ARGB).
    static QRect differingRect(const QImage &a, QPoint pa, const QImage &b, QPoint pb);

    // White text of 100 px with the left end of its baseline at `baseline`.
    static void drawCaption(QPainter &painter, QPointF baseline, const QString &text);

    // The caption drawn at the device scale, its baseline on a whole pixel, with 2 px to spare
    // around its outline for the antialiased edge.
    static Caption rasterise(const QString &text, qreal deviceScale);

    static constexpr int trainLength = 30; // small characters
    // What changedBetween() adds around each part: the frames place the tub and the falling
    // character by the viewport's own size, a pixel off 1920x1080 at some scales below 1.
    static constexpr int viewportSlackPx = 2;

    QImage muumi;
    QImage raejuusto;
    QList<QImage> frames;
    QList<QString> texts;
    QList<QRect> crankSteps; // where frames i and i + 1 differ, in scene coordinates

    ScaledCopies<Copies> scaled;
};

#endif // MINCE_H
