#include "artwork.h"

#include <QPainter>
#include <QtMath>

namespace {

const QColor outline("#0f2344");
const QColor blueLight("#4d8fe0");
const QColor blueMid("#1f5bb8");
const QColor blueDark("#123a7c");
const QColor lidWhite("#ffffff");
const QColor lidShade("#d3dae4");
const QColor labelCream("#fff8e8");
const QColor labelRed("#cf3326");

const double centreX = 206.5;
const double lidRx = 198, lidRy = 42, lidTop = 10;
const double lidBand = 30; // height of the lid's side
const double tubTopRx = 186, tubBottomRx = 158, tubBottom = 270, tubBottomRy = 16;

// Capital letters drawn as strokes on a unit box (x right, y down), so that the label never
// depends on the fonts installed.
QPainterPath glyph(QChar letter)
{
    QPainterPath p;
    switch (letter.unicode()) {
    case 'R':
        p.moveTo(0, 1);
        p.lineTo(0, 0);
        p.lineTo(0.55, 0);
        p.cubicTo(1.02, 0, 1.02, 0.52, 0.55, 0.52);
        p.lineTo(0, 0.52);
        p.moveTo(0.5, 0.52);
        p.lineTo(0.95, 1);
        break;
    case 'A':
        p.moveTo(0, 1);
        p.lineTo(0.5, 0);
        p.lineTo(1, 1);
        p.moveTo(0.22, 0.64);
        p.lineTo(0.78, 0.64);
        break;
    case 'E':
        p.moveTo(0.92, 0);
        p.lineTo(0, 0);
        p.lineTo(0, 1);
        p.lineTo(0.92, 1);
        p.moveTo(0, 0.5);
        p.lineTo(0.75, 0.5);
        break;
    case 'J':
        p.moveTo(0.3, 0);
        p.lineTo(0.85, 0);
        p.moveTo(0.72, 0);
        p.lineTo(0.72, 0.68);
        p.cubicTo(0.72, 1.08, 0.06, 1.08, 0.04, 0.72);
        break;
    case 'U':
        p.moveTo(0, 0);
        p.lineTo(0, 0.64);
        p.cubicTo(0, 1.1, 1, 1.1, 1, 0.64);
        p.lineTo(1, 0);
        break;
    case 'S':
        p.moveTo(0.92, 0.16);
        p.cubicTo(0.78, -0.05, 0.06, -0.06, 0.06, 0.25);
        p.cubicTo(0.06, 0.52, 0.94, 0.44, 0.94, 0.74);
        p.cubicTo(0.94, 1.06, 0.14, 1.06, 0.03, 0.82);
        break;
    case 'T':
        p.moveTo(0, 0);
        p.lineTo(1, 0);
        p.moveTo(0.5, 0);
        p.lineTo(0.5, 1);
        break;
    case 'O':
        p.addEllipse(QRectF(0, 0, 1, 1));
        break;
    default:
        break;
    }
    return p;
}

// How far a point on the tub's front rises at horizontal offset dx from the middle: the tub is
// seen from a little above, so its horizontal lines are the lower halves of flat ellipses.
double frontLift(double dx, double rx, double ry)
{
    const double u = qBound(-1.0, dx / rx, 1.0);
    return ry * (1 - qSqrt(1 - u * u));
}

} // namespace

QImage paintCheeseTub()
{
    QImage image = newCanvas(413, 292);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);

    // The tub: a tapering cylinder, its bottom rim a flat half ellipse.
    const double rimY = lidTop + lidRy + lidBand;
    QPainterPath tub;
    tub.moveTo(centreX - tubTopRx, rimY - 6);
    tub.lineTo(centreX - tubBottomRx, tubBottom);
    tub.arcTo(
        QRectF(centreX - tubBottomRx, tubBottom - tubBottomRy, 2 * tubBottomRx, 2 * tubBottomRy),
        180, 180);
    tub.lineTo(centreX + tubTopRx, rimY - 6);
    tub.closeSubpath();
    QLinearGradient blue(centreX - tubTopRx, 0, centreX + tubTopRx, 0);
    blue.setColorAt(0, blueDark);
    blue.setColorAt(0.18, blueMid);
    blue.setColorAt(0.3, blueLight);
    blue.setColorAt(0.42, blueMid);
    blue.setColorAt(0.85, blueDark);
    blue.setColorAt(1, mix(blueDark, Qt::black, 0.3));
    fillOutlined(painter, tub, blue, outline, 4.5);
    painter.save();
    painter.setClipPath(tub);
    // A glossy streak down the left side.
    QPainterPath streak
        = taperedStroke(QPointF(centreX - 120, rimY), QPointF(centreX - 118, 160),
                        QPointF(centreX - 112, 220), QPointF(centreX - 104, tubBottom), 16, 8);
    painter.fillPath(streak, QColor(255, 255, 255, 70));
    // A moulded ridge near the bottom.
    QPainterPath ridge;
    const double ridgeY = tubBottom - 14, ridgeRx = tubBottomRx + 3;
    ridge.arcMoveTo(QRectF(centreX - ridgeRx, ridgeY - tubBottomRy, 2 * ridgeRx, 2 * tubBottomRy),
                    180);
    ridge.arcTo(QRectF(centreX - ridgeRx, ridgeY - tubBottomRy, 2 * ridgeRx, 2 * tubBottomRy), 180,
                180);
    painter.strokePath(ridge, QPen(QColor(255, 255, 255, 80), 3));
    painter.strokePath(ridge.translated(0, 4), QPen(QColor(0, 0, 0, 70), 3));
    painter.restore();

    // The label, wrapped round the front: its top and bottom edges follow the tub's curve.
    const double labelHalf = 124, labelTop = 128, labelBottom = 232;
    const double curveRx = 176, curveRy = 20;
    QPainterPath label;
    {
        const int steps = 40;
        for (int i = 0; i <= steps; ++i) {
            const double x = centreX - labelHalf + 2 * labelHalf * i / steps;
            const QPointF p(x, labelTop - frontLift(x - centreX, curveRx, curveRy));
            i == 0 ? label.moveTo(p) : label.lineTo(p);
        }
        for (int i = steps; i >= 0; --i) {
            const double x = centreX - labelHalf + 2 * labelHalf * i / steps;
            label.lineTo(x, labelBottom - frontLift(x - centreX, curveRx, curveRy));
        }
        label.closeSubpath();
    }
    QLinearGradient paper(centreX - labelHalf, 0, centreX + labelHalf, 0);
    paper.setColorAt(0, mix(labelCream, lidShade, 0.6));
    paper.setColorAt(0.3, labelCream);
    paper.setColorAt(1, mix(labelCream, lidShade, 0.8));
    fillOutlined(painter, label, paper, outline, 3);
    painter.save();
    painter.setClipPath(label);
    // A red band along the bottom of the label, with a thin gold line.
    QPainterPath band;
    {
        const int steps = 40;
        for (int i = 0; i <= steps; ++i) {
            const double x = centreX - labelHalf - 4 + (2 * labelHalf + 8) * i / steps;
            const QPointF p(x, 210 - frontLift(x - centreX, curveRx, curveRy));
            i == 0 ? band.moveTo(p) : band.lineTo(p);
        }
        band.lineTo(centreX + labelHalf + 4, 260);
        band.lineTo(centreX - labelHalf - 4, 260);
        band.closeSubpath();
    }
    painter.fillPath(band, labelRed);
    painter.strokePath(band, QPen(QColor("#f2c14e"), 3));
    // Curds: a heap of small white lumps in the band's middle, like on the real product.
    {
        Random random(7);
        for (int i = 0; i < 26; ++i) {
            const double a = random.range(0, M_PI);
            const double r = random.range(0, 1);
            const QPointF c(centreX + qCos(a) * r * 46,
                            218 - qSin(a) * r * 16 + random.range(-2, 2));
            const double size = random.range(5, 8);
            QRadialGradient curd(c + QPointF(-2, -2), size);
            curd.setColorAt(0, Qt::white);
            curd.setColorAt(1, QColor("#e6e0cf"));
            painter.setBrush(curd);
            painter.setPen(QPen(QColor("#8a7f68"), 1.2));
            painter.drawEllipse(c, size, size * 0.8);
        }
    }
    painter.restore();

    // The name in bold rounded capitals: white edge, then blue ink, each letter on the curve.
    const QString name = QStringLiteral("RAEJUUSTO");
    const double letterWidth = 19, letterHeight = 32, advance = 25.5;
    const double startX = centreX - advance * (name.size() - 1) / 2 - letterWidth / 2;
    for (int pass = 0; pass < 2; ++pass) {
        for (int i = 0; i < name.size(); ++i) {
            const double x = startX + i * advance;
            const double y = 145 - frontLift(x + letterWidth / 2 - centreX, curveRx, curveRy);
            QTransform place;
            place.translate(x, y);
            place.scale(letterWidth, letterHeight);
            const QPainterPath letter = place.map(glyph(name.at(i)));
            if (pass == 0)
                painter.strokePath(letter,
                                   QPen(Qt::white, 11, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
            else
                painter.strokePath(letter,
                                   QPen(blueMid, 6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        }
    }
    // A little tagline bar under the name.
    {
        QPainterPath bar;
        bar.addRoundedRect(QRectF(centreX - 52, 185, 104, 12), 6, 6);
        painter.fillPath(bar, blueMid);
        painter.setPen(QPen(QColor(255, 255, 255, 220), 2.5, Qt::DotLine, Qt::RoundCap));
        painter.drawLine(QPointF(centreX - 42, 191), QPointF(centreX + 42, 191));
    }

    // The lid: a side band, then the top with a groove and a pull tab.
    QPainterPath side;
    side.moveTo(centreX - lidRx, lidTop + lidRy);
    side.lineTo(centreX - lidRx + 2, lidTop + lidRy + lidBand - 6);
    side.arcTo(QRectF(centreX - lidRx + 2, lidTop + lidBand - 6, 2 * lidRx - 4, 2 * lidRy), 180,
               180);
    side.lineTo(centreX + lidRx, lidTop + lidRy);
    side.closeSubpath();
    QLinearGradient sideShade(centreX - lidRx, 0, centreX + lidRx, 0);
    sideShade.setColorAt(0, lidShade);
    sideShade.setColorAt(0.3, lidWhite);
    sideShade.setColorAt(1, mix(lidShade, blueDark, 0.15));
    fillOutlined(painter, side, sideShade, outline, 4.5);
    // Vertical ribs on the lid's side.
    painter.save();
    painter.setClipPath(side);
    for (int i = -12; i <= 12; ++i) {
        const double a = i * M_PI / 26;
        const double x = centreX + lidRx * qSin(a);
        const double y = lidTop + lidRy + lidRy * qCos(a);
        painter.setPen(QPen(QColor(120, 135, 160, 90), 2));
        painter.drawLine(QPointF(x, y - 4), QPointF(x, y + lidBand - 10));
    }
    painter.restore();

    QPainterPath top;
    top.addEllipse(QPointF(centreX, lidTop + lidRy), lidRx, lidRy);
    QRadialGradient topShade(QPointF(centreX - 70, lidTop + lidRy - 16), 260);
    topShade.setColorAt(0, lidWhite);
    topShade.setColorAt(0.6, QColor("#f1f4f8"));
    topShade.setColorAt(1, lidShade);
    fillOutlined(painter, top, topShade, outline, 4.5);
    QPainterPath groove;
    groove.addEllipse(QPointF(centreX, lidTop + lidRy + 1), lidRx - 22, lidRy - 9);
    painter.strokePath(groove, QPen(QColor(150, 165, 190, 140), 3));
    painter.strokePath(groove.translated(0, 2.5), QPen(QColor(255, 255, 255, 220), 2));
    // A blue dot printed on the lid with the curds' shine, like a brand mark.
    QPainterPath mark;
    mark.addEllipse(QPointF(centreX, lidTop + lidRy), 52, 17);
    QLinearGradient markShade(0, lidTop + lidRy - 17, 0, lidTop + lidRy + 17);
    markShade.setColorAt(0, blueLight);
    markShade.setColorAt(1, blueMid);
    fillOutlined(painter, mark, markShade, outline, 2.5);
    painter.setPen(QPen(Qt::white, 3, Qt::SolidLine, Qt::RoundCap));
    painter.drawArc(QRectF(centreX - 40, lidTop + lidRy - 11, 80, 22), 40 * 16, 100 * 16);
    return image;
}
