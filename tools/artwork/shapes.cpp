#include "artwork.h"

#include <QPainter>
#include <QtMath>

QImage newCanvas(int width, int height)
{
    QImage image(width, height, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    return image;
}

QColor mix(const QColor &a, const QColor &b, double t)
{
    return QColor::fromRgbF(
        a.redF() + (b.redF() - a.redF()) * t, a.greenF() + (b.greenF() - a.greenF()) * t,
        a.blueF() + (b.blueF() - a.blueF()) * t, a.alphaF() + (b.alphaF() - a.alphaF()) * t);
}

QPointF cubicPoint(QPointF p0, QPointF c1, QPointF c2, QPointF p3, double t)
{
    const double u = 1 - t;
    return u * u * u * p0 + 3 * u * u * t * c1 + 3 * u * t * t * c2 + t * t * t * p3;
}

QPainterPath taperedStroke(QPointF p0, QPointF c1, QPointF c2, QPointF p3, double w0, double w1)
{
    const int samples = 48;
    QVector<QPointF> left, right;
    for (int i = 0; i <= samples; ++i) {
        const double t = double(i) / samples;
        const QPointF a = cubicPoint(p0, c1, c2, p3, qMax(0.0, t - 0.01));
        const QPointF b = cubicPoint(p0, c1, c2, p3, qMin(1.0, t + 0.01));
        QPointF d = b - a;
        const double length = qSqrt(d.x() * d.x() + d.y() * d.y());
        if (length > 0)
            d /= length;
        const QPointF normal(-d.y(), d.x());
        const double half = 0.5 * (w0 + (w1 - w0) * t);
        const QPointF p = cubicPoint(p0, c1, c2, p3, t);
        left.append(p + normal * half);
        right.prepend(p - normal * half);
    }
    QPainterPath path;
    path.setFillRule(Qt::WindingFill);
    path.addPolygon(QPolygonF(left + right));
    path.closeSubpath();
    path.addEllipse(p0, w0 / 2, w0 / 2);
    path.addEllipse(p3, w1 / 2, w1 / 2);
    return path.simplified();
}

QPainterPath lumpyCircle(QPointF centre, double radius, int lobes, double bump, double phase)
{
    QPainterPath path;
    const int samples = 180;
    for (int i = 0; i <= samples; ++i) {
        const double a = 2 * M_PI * i / samples;
        // |sin| gives rounded bumps separated by sharp notches, like a leafy crown.
        const double r = radius + bump * (qAbs(qSin(lobes * a / 2 + phase)) - 0.6);
        const QPointF p = centre + QPointF(qCos(a), qSin(a)) * r;
        if (i == 0)
            path.moveTo(p);
        else
            path.lineTo(p);
    }
    path.closeSubpath();
    return path;
}

void fillOutlined(QPainter &painter, const QPainterPath &path, const QBrush &brush,
                  const QColor &outline, double outlineWidth)
{
    painter.fillPath(path, brush);
    if (outlineWidth > 0) {
        painter.strokePath(path,
                           QPen(outline, outlineWidth, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    }
}
