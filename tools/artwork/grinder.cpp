#include "artwork.h"

#include <QPainter>
#include <QtMath>

namespace {

// Cast iron, lit from the upper left, and a turned wooden grip.
const QColor metalHighlight("#eef1f3");
const QColor metalLight("#b9c1c8");
const QColor metalMid("#8d969e");
const QColor metalDark("#5c646c");
const QColor metalDeep("#383e45");
const QColor metalOutline("#1b1e22");
const QColor woodLight("#dc9a55");
const QColor woodMid("#a9672f");
const QColor woodDark("#6c3b16");
const QColor woodOutline("#3a1d0a");
const double lineWidth = 4.5;

// Barrel axis, outlet and hopper positions (image pixels).
const double axisY = 440;
const double barrelRadius = 86;
const double barrelLeft = 168;
const double collarLeft = 566, collarRight = 664, collarRadius = 110;
const QPointF hopperCentre(340, 304);
const double hopperRx = 160, hopperRy = 24;
// The crank: hub on the shaft's far end, arm length, and how depth towards the viewer shows on
// screen (the grinder is seen a little from the right and from above).
const QPointF hub(136, axisY);
const double crankLength = 250;
const double depthToX = 0.45, depthToY = 0.15;

// A gradient across a horizontal cylinder: bright band above the axis, dark underside.
QLinearGradient horizontalCylinder(double top, double bottom, const QColor &light,
                                   const QColor &mid, const QColor &dark)
{
    QLinearGradient gradient(0, top, 0, bottom);
    gradient.setColorAt(0, mid);
    gradient.setColorAt(0.22, light);
    gradient.setColorAt(0.32, metalHighlight);
    gradient.setColorAt(0.45, light);
    gradient.setColorAt(0.8, dark);
    gradient.setColorAt(1, mix(dark, metalDeep, 0.6));
    return gradient;
}

// A gradient across an upright shape: light on the left, dark on the right.
QLinearGradient verticalCylinder(double left, double right)
{
    QLinearGradient gradient(left, 0, right, 0);
    gradient.setColorAt(0, metalMid);
    gradient.setColorAt(0.2, metalLight);
    gradient.setColorAt(0.3, metalHighlight);
    gradient.setColorAt(0.45, metalLight);
    gradient.setColorAt(0.85, metalDark);
    gradient.setColorAt(1, metalDeep);
    return gradient;
}

void outlineOnly(QPainter &painter, const QPainterPath &path, double width = lineWidth)
{
    painter.strokePath(path, QPen(metalOutline, width, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
}

// The stand: a neck below the barrel and a table clamp with its screw and wing handle.
void paintStand(QPainter &painter)
{
    QPainterPath neck;
    neck.moveTo(262, 500);
    neck.cubicTo(290, 590, 300, 640, 296, 730);
    neck.lineTo(384, 730);
    neck.cubicTo(380, 640, 392, 590, 420, 500);
    neck.closeSubpath();
    fillOutlined(painter, neck, verticalCylinder(262, 420), metalOutline, lineWidth);

    // The clamp: top jaw, back and bottom jaw in one C-shaped casting.
    QPainterPath clamp;
    clamp.addRoundedRect(QRectF(196, 722, 300, 46), 14, 14);
    QPainterPath back;
    back.addRoundedRect(QRectF(446, 722, 50, 170), 16, 16);
    QPainterPath jaw;
    jaw.addRoundedRect(QRectF(300, 852, 196, 40), 14, 14);
    const QPainterPath casting = clamp.united(back).united(jaw);
    QLinearGradient castShade(0, 722, 0, 892);
    castShade.setColorAt(0, metalLight);
    castShade.setColorAt(0.12, metalHighlight);
    castShade.setColorAt(0.3, metalMid);
    castShade.setColorAt(1, metalDark);
    fillOutlined(painter, casting, castShade, metalOutline, lineWidth);
    // Table between the jaws is left out; a shadow line under the top jaw gives it depth.
    painter.setPen(QPen(QColor(0, 0, 0, 70), 5, Qt::SolidLine, Qt::RoundCap));
    painter.drawLine(QPointF(306, 773), QPointF(440, 773));

    // The screw: a threaded rod through the bottom jaw with a pressure pad on top.
    const QRectF rod(330, 786, 28, 150);
    painter.fillRect(rod, verticalCylinder(rod.left(), rod.right()));
    painter.setPen(QPen(metalDeep, 2.5));
    for (double y = rod.top() + 6; y < rod.bottom() - 4; y += 9)
        painter.drawLine(QPointF(rod.left() + 2, y), QPointF(rod.right() - 2, y + 4));
    QPainterPath rodPath;
    rodPath.addRect(rod);
    outlineOnly(painter, rodPath, 3.5);
    QPainterPath pad;
    pad.addRoundedRect(QRectF(312, 778, 64, 18), 8, 8);
    fillOutlined(painter, pad, verticalCylinder(312, 376), metalOutline, 3.5);
    // The wing handle at the bottom.
    QPainterPath wings;
    wings.moveTo(344, 928);
    wings.cubicTo(310, 900, 270, 906, 266, 926);
    wings.cubicTo(264, 946, 310, 948, 344, 940);
    wings.cubicTo(378, 948, 424, 946, 422, 926);
    wings.cubicTo(418, 906, 378, 900, 344, 928);
    wings.closeSubpath();
    QLinearGradient wingShade(0, 904, 0, 948);
    wingShade.setColorAt(0, metalHighlight);
    wingShade.setColorAt(0.4, metalLight);
    wingShade.setColorAt(1, metalDark);
    fillOutlined(painter, wings, wingShade, metalOutline, 3.5);
    painter.setPen(Qt::NoPen);
    painter.setBrush(metalDeep);
    painter.drawEllipse(QPointF(344, 932), 9, 7);
}

// The barrel (worm housing) from the shaft end to the collar, with two cast rings.
void paintBarrel(QPainter &painter)
{
    const double top = axisY - barrelRadius, bottom = axisY + barrelRadius;
    QPainterPath barrel;
    // The far end is a circle seen nearly edge-on: a narrow half ellipse.
    barrel.moveTo(collarLeft + 10, top);
    barrel.lineTo(barrelLeft, top);
    barrel.arcTo(QRectF(barrelLeft - 26, top, 52, 2 * barrelRadius), 90, 180);
    barrel.lineTo(collarLeft + 10, bottom);
    barrel.closeSubpath();
    fillOutlined(painter, barrel, horizontalCylinder(top, bottom, metalLight, metalMid, metalDark),
                 metalOutline, lineWidth);
    // Raised rings: a slightly bigger cylinder slice each.
    for (double x : {196.0, 494.0}) {
        QPainterPath ring;
        ring.addRoundedRect(QRectF(x, top - 8, 30, 2 * barrelRadius + 16), 12, 10);
        fillOutlined(painter, ring,
                     horizontalCylinder(top - 8, bottom + 8, metalLight, metalMid, metalDark),
                     metalOutline, 3.5);
    }
}

// The hopper: a wide bowl on top of the barrel, its mouth a dark ellipse.
void paintHopper(QPainter &painter)
{
    // The bowl's shadow on the barrel around the throat.
    {
        QRadialGradient shadow(QPointF(hopperCentre.x() + 10, axisY - barrelRadius + 20), 120);
        shadow.setColorAt(0, QColor(0, 0, 0, 110));
        shadow.setColorAt(1, QColor(0, 0, 0, 0));
        painter.save();
        painter.setClipRect(QRectF(barrelLeft, axisY - barrelRadius + 2, 500, 2 * barrelRadius));
        painter.setPen(Qt::NoPen);
        painter.setBrush(shadow);
        painter.drawEllipse(QPointF(hopperCentre.x() + 10, axisY - barrelRadius + 20), 150, 55);
        painter.restore();
    }
    const double rimLeft = hopperCentre.x() - hopperRx, rimRight = hopperCentre.x() + hopperRx;
    QPainterPath bowl;
    bowl.moveTo(rimLeft, hopperCentre.y());
    bowl.cubicTo(rimLeft + 20, 352, 262, 344, 268, axisY - barrelRadius + 24);
    bowl.lineTo(412, axisY - barrelRadius + 24);
    bowl.cubicTo(418, 344, rimRight - 20, 352, rimRight, hopperCentre.y());
    bowl.closeSubpath();
    fillOutlined(painter, bowl, verticalCylinder(rimLeft, rimRight), metalOutline, lineWidth);
    // The rim: a thick lip around the mouth.
    QPainterPath rim;
    rim.addEllipse(hopperCentre, hopperRx + 6, hopperRy + 6);
    QLinearGradient rimShade(rimLeft, 0, rimRight, 0);
    rimShade.setColorAt(0, metalLight);
    rimShade.setColorAt(0.35, metalHighlight);
    rimShade.setColorAt(1, metalMid);
    fillOutlined(painter, rim, rimShade, metalOutline, lineWidth);
    // The mouth: dark, a little lighter at the far wall.
    QPainterPath mouth;
    mouth.addEllipse(hopperCentre + QPointF(0, 2), hopperRx - 12, hopperRy - 8);
    QLinearGradient depth(0, hopperCentre.y() - hopperRy, 0, hopperCentre.y() + hopperRy);
    depth.setColorAt(0, metalDark);
    depth.setColorAt(0.45, QColor("#202428"));
    depth.setColorAt(1, QColor("#0e1012"));
    fillOutlined(painter, mouth, depth, metalOutline, 3);
    // Highlight along the front of the lip.
    QPainterPath glint;
    glint.arcMoveTo(QRectF(hopperCentre.x() - hopperRx, hopperCentre.y() - hopperRy + 2,
                           2 * hopperRx, 2 * hopperRy + 4),
                    200);
    glint.arcTo(QRectF(hopperCentre.x() - hopperRx, hopperCentre.y() - hopperRy + 2, 2 * hopperRx,
                       2 * hopperRy + 4),
                200, 60);
    painter.strokePath(glint, QPen(QColor(255, 255, 255, 200), 3, Qt::SolidLine, Qt::RoundCap));
}

// The collar (ring nut) at the outlet with its knurled grip, and the cutting plate seen from a
// little to the right: an ellipse with rows of holes, right at the image's edge.
void paintOutlet(QPainter &painter)
{
    const double top = axisY - collarRadius, bottom = axisY + collarRadius;
    QPainterPath collar;
    collar.addRoundedRect(QRectF(collarLeft, top, collarRight - collarLeft + 10, bottom - top), 18,
                          18);
    fillOutlined(painter, collar, horizontalCylinder(top, bottom, metalLight, metalMid, metalDark),
                 metalOutline, lineWidth);
    // Knurling: raised ribs around the collar, seen as horizontal bars.
    painter.save();
    painter.setClipPath(collar);
    for (int i = -9; i <= 9; ++i) {
        const double angle = i * 0.16;
        const double y = axisY - collarRadius * qSin(angle);
        const double thickness = 6 * qCos(angle) + 1.5;
        painter.setPen(QPen(QColor(0, 0, 0, 70), thickness));
        painter.drawLine(QPointF(collarLeft + 22, y), QPointF(collarRight - 14, y));
        painter.setPen(QPen(QColor(255, 255, 255, 60), 1.5));
        painter.drawLine(QPointF(collarLeft + 22, y - thickness / 2 - 1),
                         QPointF(collarRight - 14, y - thickness / 2 - 1));
    }
    painter.restore();

    // The face: nut ring and cutting plate.
    // The face reaches a little beyond the image's edge, so that the edge column is solid over
    // the whole opening, where the scene lets the train of small characters out.
    const QPointF faceCentre(680 - 16, axisY);
    QPainterPath face;
    face.addEllipse(faceCentre, 28, collarRadius);
    QLinearGradient faceShade(0, top, 0, bottom);
    faceShade.setColorAt(0, metalHighlight);
    faceShade.setColorAt(0.5, metalLight);
    faceShade.setColorAt(1, metalMid);
    fillOutlined(painter, face, faceShade, metalOutline, lineWidth);
    QPainterPath plate;
    plate.addEllipse(faceCentre + QPointF(1, 0), 20, collarRadius - 18);
    QLinearGradient plateShade(0, top, 0, bottom);
    plateShade.setColorAt(0, metalMid);
    plateShade.setColorAt(1, metalDark);
    fillOutlined(painter, plate, plateShade, metalOutline, 3);
    painter.save();
    painter.setClipPath(plate);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor("#15181b"));
    for (int row = -7; row <= 7; ++row) {
        for (int column = -2; column <= 2; ++column) {
            const QPointF hole
                = faceCentre + QPointF(1 + column * 7.0, row * 12.5 + (column % 2) * 6);
            if (qAbs(row) <= 1 && qAbs(column) <= 1)
                continue; // the centre boss
            painter.drawEllipse(hole, 2.4, 4.2);
        }
    }
    painter.setBrush(faceShade);
    painter.setPen(QPen(metalOutline, 2.5));
    painter.drawEllipse(faceCentre + QPointF(1, 0), 7, 18);
    painter.restore();
}

// The shaft's end with its nut, onto which the crank is fitted.
void paintShaftEnd(QPainter &painter)
{
    QPainterPath stub;
    stub.addRoundedRect(QRectF(hub.x() - 6, axisY - 26, barrelLeft - hub.x(), 52), 10, 10);
    fillOutlined(painter, stub,
                 horizontalCylinder(axisY - 26, axisY + 26, metalLight, metalMid, metalDark),
                 metalOutline, 3.5);
}

// The crank at `angle` degrees from pointing up, turning towards the viewer. The arm swings in
// the plane across the shaft; the wooden grip sticks out away from the grinder, parallel to the
// shaft, so on screen it always lies horizontal.
void paintCrank(QPainter &painter, double angle)
{
    const double radians = qDegreesToRadians(angle);
    const double depth = crankLength * qSin(radians); // towards the viewer
    const QPointF end
        = hub + QPointF(depthToX * depth, -crankLength * qCos(radians) + depthToY * depth);

    // In front of the barrel the grip casts a soft shadow on it, stronger the nearer it is.
    if (depth > 1) {
        const QPointF centre(end.x() - 60, end.y() + 22);
        QRadialGradient shadow(centre, 70);
        shadow.setColorAt(0, QColor(0, 0, 0, int(100 * depth / crankLength)));
        shadow.setColorAt(1, QColor(0, 0, 0, 0));
        painter.save();
        painter.setClipRect(
            QRectF(barrelLeft - 26, axisY - barrelRadius + 3, 160, 2 * barrelRadius - 6));
        painter.setPen(Qt::NoPen);
        painter.setBrush(shadow);
        painter.drawEllipse(centre, 80, 22);
        painter.restore();
    }

    // The arm: a flat bar, wide at the hub and narrower at the grip.
    const QPointF middle = (hub + end) / 2;
    const QPainterPath arm = taperedStroke(hub, middle, middle, end, 40, 28);
    QLinearGradient armShade(hub + QPointF(-22, 0), hub + QPointF(22, 0));
    armShade.setColorAt(0, metalLight);
    armShade.setColorAt(0.35, metalHighlight);
    armShade.setColorAt(1, metalDark);
    // Along the arm the gradient should run across it: rotate it with the arm's direction.
    const QPointF along = end - hub;
    const double length = qSqrt(along.x() * along.x() + along.y() * along.y());
    if (length > 1) {
        const QPointF across(-along.y() / length, along.x() / length);
        armShade.setStart(middle - across * 20);
        armShade.setFinalStop(middle + across * 20);
    }
    fillOutlined(painter, arm, armShade, metalOutline, lineWidth);

    // The hub nut: a hexagon with a domed centre.
    QPolygonF hexagon;
    for (int i = 0; i < 6; ++i) {
        const double a = qDegreesToRadians(60.0 * i + 30);
        hexagon << hub + QPointF(27 * qCos(a), 27 * qSin(a));
    }
    QPainterPath nut;
    nut.addPolygon(hexagon);
    nut.closeSubpath();
    QLinearGradient nutShade(hub + QPointF(-27, -27), hub + QPointF(27, 27));
    nutShade.setColorAt(0, metalHighlight);
    nutShade.setColorAt(0.5, metalMid);
    nutShade.setColorAt(1, metalDeep);
    fillOutlined(painter, nut, nutShade, metalOutline, 3.5);
    QRadialGradient dome(hub + QPointF(-4, -5), 14);
    dome.setColorAt(0, metalHighlight);
    dome.setColorAt(1, metalDark);
    painter.setBrush(dome);
    painter.setPen(QPen(metalOutline, 2.5));
    painter.drawEllipse(hub, 11, 11);

    // The grip: a turned wooden handle, fattest in the middle, on a short steel pin.
    const double gripRight = end.x() - 14, gripLeft = end.x() - 128;
    const double y = end.y();
    QPainterPath pin;
    pin.addRoundedRect(QRectF(gripRight - 4, y - 11, end.x() - gripRight + 16, 22), 8, 8);
    fillOutlined(painter, pin, horizontalCylinder(y - 11, y + 11, metalLight, metalMid, metalDark),
                 metalOutline, 3);
    QPainterPath grip;
    grip.moveTo(gripRight, y - 18);
    grip.cubicTo(gripRight - 40, y - 28, gripLeft + 40, y - 28, gripLeft + 6, y - 20);
    grip.cubicTo(gripLeft - 8, y - 18, gripLeft - 8, y + 18, gripLeft + 6, y + 20);
    grip.cubicTo(gripLeft + 40, y + 28, gripRight - 40, y + 28, gripRight, y + 18);
    grip.closeSubpath();
    QLinearGradient woodShade(0, y - 26, 0, y + 26);
    woodShade.setColorAt(0, woodMid);
    woodShade.setColorAt(0.25, woodLight);
    woodShade.setColorAt(0.4, mix(woodLight, Qt::white, 0.35));
    woodShade.setColorAt(0.55, woodLight);
    woodShade.setColorAt(1, woodDark);
    painter.fillPath(grip, woodShade);
    // Grain: thin dark streaks following the turned shape.
    painter.save();
    painter.setClipPath(grip);
    for (int i = 0; i < 5; ++i) {
        const double offset = -14 + i * 7 + (i % 2) * 2;
        QPainterPath streak;
        streak.moveTo(gripRight + 2, y + offset * 0.75);
        streak.cubicTo(gripRight - 40, y + offset * 1.05, gripLeft + 50, y + offset * 0.95,
                       gripLeft, y + offset * 0.8);
        painter.strokePath(streak, QPen(QColor(90, 45, 15, 80), 1.6));
    }
    painter.restore();
    painter.strokePath(grip,
                       QPen(woodOutline, lineWidth, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    // A ferrule where the grip meets the pin.
    QPainterPath ferrule;
    ferrule.addRoundedRect(QRectF(gripRight - 8, y - 19, 12, 38), 4, 4);
    fillOutlined(painter, ferrule,
                 horizontalCylinder(y - 19, y + 19, metalLight, metalMid, metalDark), metalOutline,
                 3);
}

} // namespace

QImage paintGrinder(int frame)
{
    QImage image = newCanvas(680, 953);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    paintStand(painter);
    paintBarrel(painter);
    paintHopper(painter);
    paintOutlet(painter);
    paintShaftEnd(painter);
    // Six frames over half a turn: 0, 36, ..., 180 degrees from pointing up.
    paintCrank(painter, 36.0 * frame);
    return image;
}
