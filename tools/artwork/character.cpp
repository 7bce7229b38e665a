#include "artwork.h"

#include <QPainter>
#include <QRadialGradient>

namespace {

const QColor outline("#2c3144");
const QColor white("#ffffff");
const QColor shade("#d6dce8"); // the white in shadow, a cool blue-grey
const QColor leafGreen("#6cb04c");
const QColor leafDark("#3f7a2e");
const double outlineWidth = 5;

QRadialGradient whiteBall(QPointF centre, double radius)
{
    // Lit from the upper left: the brightest point sits up and left of the centre.
    QRadialGradient gradient(centre, radius * 1.15,
                             centre + QPointF(-radius * 0.35, -radius * 0.4));
    gradient.setColorAt(0, white);
    gradient.setColorAt(0.55, QColor("#f8f9fc"));
    gradient.setColorAt(1, shade);
    return gradient;
}

// An arm from the shoulder to a round mitten. Arms are painted before the body, so they grow
// out from behind its sides.
void paintArm(QPainter &painter, QPointF shoulder, QPointF elbow, QPointF hand, QPointF thumbDir)
{
    const QPainterPath arm = taperedStroke(shoulder, elbow, elbow, hand, 40, 30);
    QPainterPath mitten;
    mitten.addEllipse(hand, 21, 21);
    QPainterPath thumb;
    thumb.addEllipse(hand + thumbDir * 17, 9, 9);
    const QPainterPath shape = arm.united(mitten).united(thumb);
    QLinearGradient gradient(shoulder, hand);
    gradient.setColorAt(0, shade);
    gradient.setColorAt(0.5, white);
    gradient.setColorAt(1, QColor("#eef1f6"));
    fillOutlined(painter, shape, gradient, outline, outlineWidth);
}

} // namespace

QImage paintCharacter(bool waving)
{
    QImage image = newCanvas(284, 507);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);

    const QPointF headCentre(142, 134);
    const double headRadius = 104;
    const QPointF bodyCentre(142, 342);
    const double bodyRx = 108, bodyRy = 124;

    // Feet first: the body's lower curve overlaps them.
    for (int side = -1; side <= 1; side += 2) {
        QPainterPath foot;
        foot.addEllipse(QPointF(142 + side * 46, 476), 44, 24);
        QLinearGradient gradient(0, 452, 0, 500);
        gradient.setColorAt(0, white);
        gradient.setColorAt(1, shade);
        fillOutlined(painter, foot, gradient, outline, outlineWidth);
    }

    // Arms: the left one (viewer's left) always hangs; the other hangs or waves.
    paintArm(painter, QPointF(76, 274), QPointF(28, 304), QPointF(24, 378), QPointF(1, -0.3));
    if (waving) {
        paintArm(painter, QPointF(208, 274), QPointF(274, 250), QPointF(258, 164),
                 QPointF(-0.9, -0.4));
    } else {
        paintArm(painter, QPointF(208, 274), QPointF(256, 304), QPointF(260, 378),
                 QPointF(-1, -0.3));
    }

    // Body and head, each shaded as a ball, outlined together as one figure.
    QPainterPath body;
    body.addEllipse(bodyCentre, bodyRx, bodyRy);
    QPainterPath head;
    head.addEllipse(headCentre, headRadius, headRadius);
    painter.fillPath(body, whiteBall(bodyCentre, bodyRy));
    // The head's shadow on the upper body.
    {
        painter.save();
        painter.setClipPath(body);
        QRadialGradient shadow(headCentre + QPointF(6, 28), headRadius * 1.25);
        shadow.setColorAt(0.72, QColor(150, 162, 190, 110));
        shadow.setColorAt(1, QColor(150, 162, 190, 0));
        painter.fillPath(body, shadow);
        painter.restore();
    }
    painter.fillPath(head, whiteBall(headCentre, headRadius));
    const QPainterPath figure = body.united(head);
    painter.strokePath(figure,
                       QPen(outline, outlineWidth, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    // The chin: a short crease where head meets body, fading out towards the sides.
    {
        QPainterPath chin;
        chin.moveTo(86, 222);
        chin.quadTo(142, 252, 198, 222);
        QLinearGradient fade(86, 0, 198, 0);
        fade.setColorAt(0, QColor(44, 49, 68, 0));
        fade.setColorAt(0.3, QColor(44, 49, 68, 150));
        fade.setColorAt(0.7, QColor(44, 49, 68, 150));
        fade.setColorAt(1, QColor(44, 49, 68, 0));
        painter.strokePath(chin, QPen(QBrush(fade), 3.5, Qt::SolidLine, Qt::RoundCap));
    }
    // A soft sheen on the belly.
    {
        QRadialGradient sheen(QPointF(112, 320), 46);
        sheen.setColorAt(0, QColor(255, 255, 255, 200));
        sheen.setColorAt(1, QColor(255, 255, 255, 0));
        painter.fillPath(body, sheen);
    }

    // A sprout with two leaves on top of the head.
    {
        QPainterPath stem;
        stem.moveTo(142, 34);
        stem.cubicTo(140, 22, 146, 14, 150, 8);
        painter.strokePath(stem, QPen(leafDark, 5, Qt::SolidLine, Qt::RoundCap));
        for (int side = -1; side <= 1; side += 2) {
            QPainterPath leaf;
            const QPointF base(148, 12);
            const QPointF tip(148 + side * 30, side < 0 ? 8 : 4);
            leaf.moveTo(base);
            leaf.cubicTo(base + QPointF(side * 8, -16), tip + QPointF(-side * 8, -8), tip);
            leaf.cubicTo(tip + QPointF(-side * 6, 10), base + QPointF(side * 10, 10), base);
            QLinearGradient gradient(base, tip);
            gradient.setColorAt(0, leafDark);
            gradient.setColorAt(1, leafGreen);
            fillOutlined(painter, leaf, gradient, QColor("#24461b"), 2.5);
            QPainterPath vein;
            vein.moveTo(base);
            vein.quadTo((base + tip) / 2 + QPointF(0, -2), tip);
            painter.strokePath(vein,
                               QPen(QColor(255, 255, 255, 110), 1.5, Qt::SolidLine, Qt::RoundCap));
        }
    }

    // The face.
    for (int side = -1; side <= 1; side += 2) {
        const QPointF eye(142 + side * 38, 124);
        QPainterPath white;
        white.addEllipse(eye, 18, 26);
        QRadialGradient iris(eye + QPointF(0, 6), 26);
        iris.setColorAt(0, QColor("#3a4a7a"));
        iris.setColorAt(0.6, QColor("#1d2238"));
        iris.setColorAt(1, QColor("#12141f"));
        painter.fillPath(white, iris);
        painter.setPen(Qt::NoPen);
        painter.setBrush(Qt::white);
        painter.drawEllipse(eye + QPointF(-6, -10), 7, 8);
        painter.drawEllipse(eye + QPointF(7, 10), 3.2, 3.2);
        // Brows: small arcs lifted in a friendly look.
        QPainterPath brow;
        brow.moveTo(eye + QPointF(-16, -38));
        brow.quadTo(eye + QPointF(side * 4, -48), eye + QPointF(16, -38));
        painter.strokePath(brow, QPen(outline, 4, Qt::SolidLine, Qt::RoundCap));
        // Rosy cheeks.
        QRadialGradient cheek(QPointF(142 + side * 70, 168), 24);
        cheek.setColorAt(0, QColor(244, 140, 150, 170));
        cheek.setColorAt(1, QColor(244, 140, 150, 0));
        painter.setBrush(cheek);
        painter.drawEllipse(QPointF(142 + side * 70, 168), 26, 17);
    }
    // An open smile with a tongue.
    {
        QPainterPath mouth;
        mouth.moveTo(118, 170);
        mouth.cubicTo(124, 200, 160, 200, 166, 170);
        mouth.quadTo(142, 177, 118, 170);
        painter.fillPath(mouth, QColor("#7a2431"));
        painter.save();
        painter.setClipPath(mouth);
        painter.setPen(Qt::NoPen);
        painter.setBrush(QColor("#e8707c"));
        painter.drawEllipse(QPointF(142, 196), 17, 11);
        painter.restore();
        painter.strokePath(mouth, QPen(outline, 3.5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    }

    return image;
}
