#ifndef SCENEKIT_H
#define SCENEKIT_H

// What the scenes share: the size they are composed for, their colour, the fade envelope, and
// the arithmetic of drawing at a device's scale with copies of their images made for it.

#include <QColor>
#include <QImage>
#include <QPaintDevice>
#include <QPainter>
#include <QSize>
#include <QTransform>

#include <algorithm>
#include <cmath>

// The size the scenes are composed for, in logical pixels: the viewport they see when fitted to a
// screen.
constexpr int compositionWidthPx = 1920;
constexpr int compositionHeightPx = 1080;

// Fade envelope over [0, length] ms: rises linearly over the first fadeIn ms, holds at 1 and falls
// over the last fadeOut ms. Not clamped: times outside [0, length] give negative values.
inline float createFade(qint64 time, qint64 length, qint64 fadeIn, qint64 fadeOut)
{
    const float rise = float(std::min(time, fadeIn)) / float(fadeIn);
    const float fall = float(std::min(length - time, fadeOut)) / float(fadeOut);
    return rise * fall;
}

// The colour that both scenes fill the screen with.
inline QColor sceneColour()
{
    return QColor(0x30, 0x39, 0x2c); // #30392c
}

// Device pixels per logical pixel of the painter as it stands (no rotation): the device's pixel
// ratio (2 on a screen scaled by QT_SCALE_FACTOR=2) times any scale the caller set up, such as
// the window's fit of the 1920x1080 composition to the screen.
inline qreal deviceScale(const QPainter &painter)
{
    return painter.deviceTransform().m11();
}

// `devicePixels` in logical pixels of `scale` device pixels each, rounded up.
inline QSize logicalSize(QSize devicePixels, qreal scale)
{
    return QSize(int(std::ceil(devicePixels.width() / scale - 1e-9)),
                 int(std::ceil(devicePixels.height() / scale - 1e-9)));
}

// The painter's viewport in the logical pixels that the painter draws in, rounded up so that a
// fill of it covers every device pixel. On a frame that FramePainter fits to its size, the
// viewport is the fitted rectangle: 1920x1080 in these pixels.
inline QSize logicalViewportSize(const QPainter &painter)
{
    return logicalSize(painter.viewport().size(), deviceScale(painter));
}

// Is this scale a whole number (1, 2, 3 ...)? There the painter's plain pixel sampling doubles or
// triples every pixel evenly; at other scales it drops or doubles some unevenly, and images need
// smooth filtering.
inline bool isWholeScale(qreal scale)
{
    return scale >= 1 && std::abs(scale - std::round(scale)) < 1e-9;
}

// Positions in the pixels of copies made for one scale: a point p of the scene lands on copy
// pixel round(p * scale). Every layer is placed through this one rounding, so that layers drawn
// apart, or composed in advance, keep their places relative to each other.
class CopyScale
{
public:
    explicit CopyScale(qreal scale = 1) : factor(scale) { }
    qreal scale() const { return factor; }
    QPoint at(int x, int y) const { return QPoint(qRound(x * factor), qRound(y * factor)); }
    QPoint at(QPoint p) const { return at(p.x(), p.y()); }
    QRect rect(const QRect &r) const
    {
        return QRect(at(r.topLeft()), at(r.x() + r.width(), r.y() + r.height()) - QPoint(1, 1));
    }

    // A copy of `image` for drawing unscaled with its top-left corner at scene point p: it
    // fills rect(p, image's size) exactly. Sampled as the painter would at whole scales (every
    // pixel doubled or tripled evenly), smoothly at others.
    QImage copy(const QImage &image, QPoint p = QPoint()) const
    {
        if (factor == 1 || image.isNull())
            return image;
        return image.scaled(rect(QRect(p, image.size())).size(), Qt::IgnoreAspectRatio,
                            isWholeScale(factor) ? Qt::FastTransformation
                                                 : Qt::SmoothTransformation);
    }

    // Moves the painter, whose origin is where copy pixel (0, 0) goes, into the copies' pixels:
    // when it draws at the copies' scale, its origin is rounded to the nearest device pixel and
    // its scaling undone, so that the copies are drawn unscaled. At any other scale the painter
    // stays as it is and scales what it draws (the copies are then those of scale 1).
    void enter(QPainter &painter) const
    {
        const QTransform device = painter.deviceTransform();
        if (device.m11() != factor || factor == 1)
            return;
        const QPointF origin = device.map(QPointF(0, 0));
        // What the device itself scales by (its pixel ratio), to be undone as well.
        const QTransform ratio = painter.worldTransform().inverted() * device;
        painter.setWorldTransform(QTransform::fromTranslate(qRound(origin.x()), qRound(origin.y()))
                                  * ratio.inverted());
    }

private:
    qreal factor;
};

// The copies a scene keeps: those of scale 1, made once, and those of the scale it was last
// prepared for. `Copies` holds its CopyScale as `scale`.
template<typename Copies> struct ScaledCopies
{
    Copies one; // for scale 1, and for scales not prepared for
    Copies fitted; // for the scale last prepared for

    // Makes the fitted copies with make(scale), unless they are those of that scale already.
    template<typename Make> void prepare(qreal scale, Make make)
    {
        if (scale != 1 && scale != fitted.scale.scale())
            fitted = make(scale);
    }

    // The copies for drawing with this painter: the fitted ones at their scale, else those of 1.
    const Copies &forPainter(const QPainter &painter) const
    {
        return deviceScale(painter) == fitted.scale.scale() ? fitted : one;
    }
};

#endif // SCENEKIT_H
