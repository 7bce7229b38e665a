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
    Mince();

    // From 35 s on the captions are over, and the picture repeats itself every 5 s.
    long lengthMs() const override { return 35000; }
    const char *name() const override { return "grinder"; }
    // The falling character has gone wholly into the hopper 900 ms into each second.
    SceneEvents events() const override { return {{{900, "swallow"}}, 1000}; }

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

    // Grinder frame at scene time t (ms): 100 ms per frame, the crank swinging through frames
    // 0..5..0 every 1100 ms. Before -99 ms the remainder is negative; it is taken modulo 11 as
    // well, so the crank keeps swinging when time runs backwards.
    static int frameIndex(qint64 t);

    // Caption at scene time t (ms): a new one every 5 s. Before -4999 ms the first caption stays
    // (as from -4999 to -1 ms); from 35000 ms on, the last one, which is empty.
    static int captionIndex(qint64 t) { return int(std::clamp<qint64>(t / 5000, 0, 6)); }

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

    // The grinder frame's right edge on the vertical centre line, centred vertically.
    QPoint grinderPosition(int frame) const
    {
        const QImage &image = frames.at(frame);
        return QPoint(-image.width(), -(image.height() / 2));
    }

    // The falling character's top-left corner at scene time t (ms) in a viewport h px tall: it
    // falls at 1 px/ms from h px above the centre, starting over every second.
    static QPoint fallingPosition(qint64 t, int h) { return QPoint(-455, int(t % 1000) - h); }

    // Small character i of the train (of thirty) at scene time t (ms): 150 ms behind the one
    // before, running right at 1 px/ms from x = -150 to 849, in one of three strands of fixed
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

    QImage muumi;
    QImage raejuusto;
    QList<QImage> frames;
    QList<QString> texts;
    QList<QRect> crankSteps; // where frames i and i + 1 differ, in scene coordinates

    ScaledCopies<Copies> scaled;
};

#endif // MINCE_H
