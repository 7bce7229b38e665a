#include "artwork.h"

#include <QPainter>
#include <QtMath>

#include <algorithm>

namespace {

// One palette for the forest: deep reds and greens behind, autumn colours in front.
struct Tone
{
    QColor light, base, dark;
};

const Tone barkRed {QColor("#7a3228"), QColor("#521f1c"), QColor("#260e0c")};
const Tone barkGreen {QColor("#3d6040"), QColor("#27412a"), QColor("#122016")};
const Tone barkFar {QColor("#33473a"), QColor("#243428"), QColor("#18241c")};
const Tone grassGreen {QColor("#5c9444"), QColor("#356430"), QColor("#1a3320")};
const Tone grassRed {QColor("#9a4430"), QColor("#6b2620"), QColor("#331210")};
const QColor backgroundOutline("#120a08");

const Tone crownGreen {QColor("#7dbb55"), QColor("#3f7f36"), QColor("#1f4620")};
const Tone crownOlive {QColor("#c6cf5a"), QColor("#86992f"), QColor("#4b5a18")};
const Tone crownOrange {QColor("#f3b04e"), QColor("#cc6a22"), QColor("#803510")};
const Tone trunkBrown {QColor("#9a6a42"), QColor("#6a4428"), QColor("#3a2212")};
const QColor foregroundOutline("#24140c");
const Tone bushTones[] = {
    {QColor("#f0a040"), QColor("#d0661e"), QColor("#873410")}, // orange
    {QColor("#e05a40"), QColor("#b0321f"), QColor("#661610")}, // red
    {QColor("#f2cc5a"), QColor("#d39a2a"), QColor("#865a12")}, // ochre
    {QColor("#c0603a"), QColor("#8a3a1e"), QColor("#4a1c0c")}, // russet
    {QColor("#b8b048"), QColor("#80842a"), QColor("#464a14")}, // olive, for a little green
};

QRadialGradient litBall(QPointF centre, double radius, const Tone &tone)
{
    QRadialGradient gradient(centre, radius * 1.1, centre + QPointF(-radius * 0.4, -radius * 0.45));
    gradient.setColorAt(0, tone.light);
    gradient.setColorAt(0.55, tone.base);
    gradient.setColorAt(1, tone.dark);
    return gradient;
}

// A shape shaded across its width, light on the left: trunks, branches and blades.
QLinearGradient across(double left, double right, const Tone &tone)
{
    QLinearGradient gradient(left, 0, right, 0);
    gradient.setColorAt(0, tone.base);
    gradient.setColorAt(0.3, tone.light);
    gradient.setColorAt(0.55, tone.base);
    gradient.setColorAt(1, tone.dark);
    return gradient;
}

// A grass blade: a curved sliver from a wide base to a sharp tip.
QPainterPath blade(QPointF base, double height, double width, double bend)
{
    const QPointF tip = base + QPointF(bend, -height);
    QPainterPath path;
    path.moveTo(base + QPointF(-width / 2, 0));
    path.cubicTo(base + QPointF(-width / 2, -height * 0.5),
                 tip + QPointF(-bend * 0.6, height * 0.3), tip);
    path.cubicTo(tip + QPointF(-bend * 0.5, height * 0.35),
                 base + QPointF(width / 2, -height * 0.45), base + QPointF(width / 2, 0));
    path.closeSubpath();
    return path;
}

// A small almond-shaped leaf.
QPainterPath leaf(QPointF at, double length, double angle)
{
    QPainterPath path;
    path.moveTo(0, 0);
    path.quadTo(length * 0.5, -length * 0.32, length, 0);
    path.quadTo(length * 0.5, length * 0.32, 0, 0);
    QTransform place;
    place.translate(at.x(), at.y());
    place.rotate(angle);
    return place.map(path);
}

// A tree trunk or a branch: a tapered curve, shaded across and outlined.
void paintLimb(QPainter &painter, QPointF from, QPointF c1, QPointF c2, QPointF to, double w0,
               double w1, const Tone &tone, const QColor &outline, double outlineWidth)
{
    const QPainterPath path = taperedStroke(from, c1, c2, to, w0, w1);
    const QRectF box = path.boundingRect();
    fillOutlined(painter, path, across(box.left(), box.right(), tone), outline, outlineWidth);
}

// A trunk with bark streaks and a few branches (and twigs) reaching out of it.
void paintTrunk(QPainter &painter, Random &random, double x, double width, const Tone &tone,
                int branches, bool leaves)
{
    const QPointF foot(x, 1110);
    const QPointF top(x + random.range(-90, 90), -30);
    const QPointF c1(x + random.range(-70, 70), 760);
    const QPointF c2(top.x() + random.range(-70, 70), 280);
    // Branches first, so that the trunk covers where they join it.
    for (int b = 0; b < branches; ++b) {
        const double side = random.uniform() < 0.5 ? -1 : 1;
        const QPointF start = cubicPoint(foot, c1, c2, top, random.range(0.25, 0.8));
        const double reach = random.range(160, 380);
        const QPointF end = start + QPointF(side * reach, -random.range(60, 260));
        const QPointF k1 = start + QPointF(side * reach * 0.3, random.range(-20, 30));
        const QPointF k2 = end + QPointF(-side * reach * 0.2, random.range(20, 80));
        const double w = width * random.range(0.28, 0.4);
        paintLimb(painter, start, k1, k2, end, w, 4, tone, backgroundOutline, 2.5);
        // A twig off the branch.
        const QPointF fork = (start + 2 * end) / 3;
        const QPointF twigEnd
            = fork + QPointF(side * random.range(40, 120), -random.range(60, 140));
        paintLimb(painter, fork, fork + QPointF(side * 20, -20), twigEnd + QPointF(-side * 10, 20),
                  twigEnd, w * 0.45, 2.5, tone, backgroundOutline, 2);
        if (!leaves)
            continue;
        for (const QPointF &tip : {end, twigEnd}) {
            for (int i = 0; i < 9; ++i) {
                const QPointF at = tip + QPointF(random.range(-26, 26), random.range(-22, 22));
                const Tone &leafTone = random.uniform() < 0.55 ? grassGreen : grassRed;
                const QPainterPath l = leaf(at, random.range(18, 30), random.range(0, 360));
                fillOutlined(painter, l, mix(leafTone.base, leafTone.light, random.range(0, 0.8)),
                             backgroundOutline, 1.5);
            }
        }
    }
    const QPainterPath trunk = taperedStroke(foot, c1, c2, top, width, width * 0.55);
    const QRectF box = trunk.boundingRect();
    painter.fillPath(trunk, across(box.left(), box.right(), tone));
    // Bark: dark streaks along the trunk.
    painter.save();
    painter.setClipPath(trunk);
    for (int i = 0; i < 5; ++i) {
        const double offset = random.range(-0.4, 0.4) * width;
        QPainterPath streak;
        const double start = random.range(0, 800), length = random.range(120, 400);
        streak.moveTo(x + offset + (top.x() - x) * (1 - start / 1100), start + length);
        streak.cubicTo(x + offset + random.range(-8, 8), start + length * 0.6,
                       x + offset + random.range(-8, 8), start + length * 0.3,
                       x + offset + (top.x() - x) * (1 - start / 1100), start);
        painter.strokePath(
            streak,
            QPen(mix(tone.dark, Qt::black, 0.2), random.range(2, 4), Qt::SolidLine, Qt::RoundCap));
    }
    painter.restore();
    painter.strokePath(trunk,
                       QPen(backgroundOutline, 3, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
}

void paintGrass(QPainter &painter, Random &random, int count, double minHeight, double maxHeight,
                double darken)
{
    for (int i = 0; i < count; ++i) {
        const QPointF base(random.range(-20, 1940), 1086);
        const double height = random.range(minHeight, maxHeight);
        const double width = random.range(8, 18);
        const QPainterPath path = blade(base, height, width, random.range(-0.35, 0.35) * height);
        const Tone &tone = random.uniform() < 0.62 ? grassGreen : grassRed;
        QLinearGradient gradient(0, base.y(), 0, base.y() - height);
        gradient.setColorAt(0, mix(tone.dark, Qt::black, darken));
        gradient.setColorAt(0.6, mix(tone.base, Qt::black, darken));
        gradient.setColorAt(1, mix(tone.light, Qt::black, darken));
        fillOutlined(painter, path, gradient, backgroundOutline, 1.5);
    }
}

} // namespace

QImage paintBackground()
{
    const int width = 1920, height = 1080;
    QImage image(width, height, QImage::Format_ARGB32_Premultiplied);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    Random random(1);

    // Depth: a dark green canopy above, a dark red forest floor below, with soft glows.
    QLinearGradient sky(0, 0, 0, height);
    sky.setColorAt(0, QColor("#162419"));
    sky.setColorAt(0.5, QColor("#23291b"));
    sky.setColorAt(1, QColor("#361915"));
    painter.fillRect(image.rect(), sky);
    for (int i = 0; i < 9; ++i) {
        const QPointF centre(random.range(0, width), random.range(0, height));
        const double radius = random.range(220, 420);
        QColor glow = i % 2 ? QColor(110, 40, 30, 90) : QColor(60, 110, 60, 70);
        QRadialGradient gradient(centre, radius);
        gradient.setColorAt(0, glow);
        glow.setAlpha(0);
        gradient.setColorAt(1, glow);
        painter.fillRect(image.rect(), gradient);
    }

    // Mist in the depth, thickest low down.
    {
        QLinearGradient mist(0, 0, 0, height);
        mist.setColorAt(0, QColor(70, 90, 70, 0));
        mist.setColorAt(0.55, QColor(70, 90, 70, 60));
        mist.setColorAt(0.85, QColor(90, 70, 60, 80));
        mist.setColorAt(1, QColor(90, 70, 60, 30));
        painter.fillRect(QRect(0, 0, width, height), mist);
    }
    // A few soft holes in the depth, where the fill colour shows through; everything in front
    // of the depth is painted over them on a layer of its own.
    painter.end();
    {
        QPainter holes(&image);
        holes.setRenderHint(QPainter::Antialiasing);
        holes.setCompositionMode(QPainter::CompositionMode_DestinationOut);
        const QPointF centres[] = {{230, 150},  {700, 70},  {1040, 260}, {1420, 120},
                                   {1770, 300}, {440, 480}, {1260, 560}, {900, 640}};
        for (const QPointF &centre : centres) {
            const double radius = random.range(60, 110);
            QRadialGradient hole(centre, radius);
            hole.setColorAt(0, Qt::black);
            hole.setColorAt(0.45, Qt::black);
            hole.setColorAt(1, Qt::transparent);
            holes.setPen(Qt::NoPen);
            holes.setBrush(hole);
            holes.drawEllipse(centre, radius, radius * 0.8);
        }
    }

    QImage front = newCanvas(width, height);
    painter.begin(&front);
    painter.setRenderHint(QPainter::Antialiasing);
    // Far trunks, dim and thin, then the tangle of red and green trunks in front of them.
    for (int i = 0; i < 20; ++i) {
        paintTrunk(painter, random, 40 + i * 96 + random.range(-30, 30), random.range(22, 40),
                   barkFar, 2, false);
    }
    paintGrass(painter, random, 260, 160, 360, 0.45);
    for (int i = 0; i < 13; ++i) {
        paintTrunk(painter, random, 60 + i * 150 + random.range(-40, 40), random.range(50, 100),
                   i % 2 ? barkGreen : barkRed, 4, true);
    }
    // Vines looping across the trunks.
    for (int i = 0; i < 18; ++i) {
        const QPointF from(random.range(-100, width), random.range(40, 860));
        const QPointF to = from + QPointF(random.range(300, 800), random.range(-200, 200));
        const QPointF c1 = from + QPointF(random.range(50, 300), random.range(-220, 260));
        const QPointF c2 = to + QPointF(-random.range(50, 300), random.range(-260, 220));
        paintLimb(painter, from, c1, c2, to, random.range(5, 10), 2.5,
                  i % 3 ? grassGreen : grassRed, backgroundOutline, 1.8);
    }
    paintGrass(painter, random, 420, 70, 260, 0.1);
    painter.end();

    // Semi-transparent throughout: every pixel's alpha scaled to 200 of 255.
    painter.begin(&image);
    painter.drawImage(0, 0, front);
    painter.setCompositionMode(QPainter::CompositionMode_DestinationIn);
    painter.fillRect(image.rect(), QColor(0, 0, 0, 200));
    painter.end();
    return image;
}

namespace {

// A round crown of leaves: a lumpy ball built from overlapping clumps, lower ones first so
// that each clump's lower edge overlaps the one beneath; clumps towards the light are lighter.
void paintCrown(QPainter &painter, Random &random, QPointF centre, double radius, const Tone &tone)
{
    const QPainterPath crown = lumpyCircle(centre, radius, 11, radius * 0.14, random.range(0, 3));
    painter.fillPath(crown, litBall(centre, radius, Tone {tone.base, tone.dark, tone.dark}));
    painter.save();
    painter.setClipPath(crown);
    struct Clump
    {
        QPointF centre;
        double radius;
    };
    QVector<Clump> clumps;
    for (int row = 0; row < 4; ++row) {
        const double y = -0.62 + row * 0.4;
        const int count = row == 0 || row == 3 ? 2 : 3;
        for (int i = 0; i < count; ++i) {
            const double x = (i - (count - 1) / 2.0) * 0.56 + random.range(-0.08, 0.08);
            clumps.append({centre + QPointF(x, y + random.range(-0.05, 0.05)) * radius,
                           radius * random.range(0.36, 0.44)});
        }
    }
    // Lowest first: the ones above overlap them.
    std::sort(clumps.begin(), clumps.end(),
              [](const Clump &a, const Clump &b) { return a.centre.y() > b.centre.y(); });
    for (const Clump &clump : clumps) {
        const QPointF c = clump.centre;
        const double r = clump.radius;
        // 1 at the lit upper left of the crown, 0 at its lower right.
        const double light = qBound(
            0.0, 0.5 - 0.6 * (c.x() - centre.x() + c.y() - centre.y()) / (2 * radius), 1.0);
        const QPainterPath shape = lumpyCircle(c, r, 7, r * 0.2, random.range(0, 3));
        QRadialGradient gradient(c, r * 1.1, c + QPointF(-r * 0.35, -r * 0.5));
        gradient.setColorAt(0, mix(tone.base, tone.light, 0.35 + 0.65 * light));
        gradient.setColorAt(0.65, mix(tone.dark, tone.base, 0.45 + 0.55 * light));
        gradient.setColorAt(1, mix(tone.dark, tone.base, 0.2 * light));
        painter.fillPath(shape, gradient);
        // The lower edge: a soft dark rim separating it from what lies below.
        QPainterPath edge;
        edge.arcMoveTo(QRectF(c.x() - r, c.y() - r, 2 * r, 2 * r), 200);
        edge.arcTo(QRectF(c.x() - r, c.y() - r, 2 * r, 2 * r), 200, 140);
        QColor rim = tone.dark.darker(140);
        rim.setAlpha(120);
        painter.strokePath(edge, QPen(rim, 3, Qt::SolidLine, Qt::RoundCap));
        // A few leaves catching the light on the clump's top.
        for (int i = 0; i < 5; ++i) {
            const double a = random.range(-2.6, -0.6);
            const QPointF at = c + QPointF(qCos(a), qSin(a)) * r * random.range(0.35, 0.75);
            QColor glint = mix(tone.light, Qt::white, 0.25 * light);
            glint.setAlpha(int(90 + 120 * light));
            painter.fillPath(leaf(at, random.range(9, 14), random.range(-60, 60) + 180 * (i % 2)),
                             glint);
        }
    }
    painter.restore();
    painter.strokePath(crown,
                       QPen(foregroundOutline, 4, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
}

void paintTree(QPainter &painter, Random &random, double x, double crownY, double radius,
               const Tone &crownTone)
{
    const QPointF foot(x + random.range(-10, 10), 560);
    const QPointF top(x, crownY);
    const double width = radius * 0.36;
    const QPainterPath trunk
        = taperedStroke(foot, foot + QPointF(random.range(-20, 20), -120),
                        top + QPointF(random.range(-20, 20), 120), top, width, width * 0.6);
    QPainterPath branch1 = taperedStroke(
        top + QPointF(0, radius * 0.5), top + QPointF(-30, 30), top + QPointF(-radius * 0.5, 0),
        top + QPointF(-radius * 0.6, -radius * 0.3), width * 0.4, 6);
    QPainterPath branch2
        = taperedStroke(top + QPointF(0, radius * 0.3), top + QPointF(30, 10),
                        top + QPointF(radius * 0.4, -radius * 0.2),
                        top + QPointF(radius * 0.55, -radius * 0.5), width * 0.4, 6);
    const QPainterPath wood = trunk.united(branch1).united(branch2);
    const QRectF box = trunk.boundingRect();
    painter.fillPath(wood, across(box.left(), box.right(), trunkBrown));
    painter.save();
    painter.setClipPath(wood);
    // Bark lines, and the crown's shadow on the trunk just below it.
    for (int i = 0; i < 4; ++i) {
        const double offset = (i - 1.5) * width * 0.22;
        QPainterPath line;
        line.moveTo(foot.x() + offset, 560);
        line.cubicTo(foot.x() + offset + random.range(-6, 6), 480, top.x() + offset * 0.7,
                     top.y() + radius * 1.3, top.x() + offset * 0.6, top.y() + radius * 0.8);
        painter.strokePath(line, QPen(QColor(40, 20, 8, 90), 2, Qt::SolidLine, Qt::RoundCap));
    }
    QLinearGradient shadow(0, top.y() + radius * 0.8, 0, top.y() + radius * 1.5);
    shadow.setColorAt(0, QColor(20, 10, 4, 170));
    shadow.setColorAt(1, QColor(20, 10, 4, 0));
    painter.fillRect(QRectF(box.left(), top.y(), box.width(), radius * 1.5), shadow);
    painter.restore();
    painter.strokePath(wood,
                       QPen(foregroundOutline, 4, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    paintCrown(painter, random, top, radius, crownTone);
}

// A clump of bush: a lumpy ball with leaves scattered over it.
void paintBush(QPainter &painter, Random &random, QPointF centre, double radius, const Tone &tone)
{
    const QPainterPath shape
        = lumpyCircle(centre, radius, random.range(7, 10), radius * 0.16, random.range(0, 3));
    painter.fillPath(shape, litBall(centre, radius, tone));
    painter.save();
    painter.setClipPath(shape);
    for (int i = 0; i < 34; ++i) {
        const double a = random.range(-M_PI, M_PI);
        const double d = qSqrt(random.uniform()) * radius;
        const QPointF at = centre + QPointF(qCos(a) * d, qSin(a) * d);
        const double light = 0.5 - 0.5 * (at.x() - centre.x() + at.y() - centre.y()) / (2 * radius);
        QColor colour = light > 0.55 ? tone.light.lighter(112) : mix(tone.base, tone.dark, 0.6);
        colour.setAlpha(200);
        const QPainterPath l = leaf(at, random.range(12, 20), random.range(0, 360));
        painter.fillPath(l, colour);
    }
    painter.restore();
    painter.strokePath(shape,
                       QPen(foregroundOutline, 3.5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
}

void paintMushroom(QPainter &painter, Random &random, QPointF foot, double size, int kind)
{
    const QColor stemLight("#fbf3dc"), stemDark("#cdbb8e");
    // Stem.
    QPainterPath stem;
    stem.moveTo(foot + QPointF(-size * 0.2, 0));
    stem.cubicTo(foot + QPointF(-size * 0.24, -size * 0.35),
                 foot + QPointF(-size * 0.14, -size * 0.6),
                 foot + QPointF(-size * 0.13, -size * 0.8));
    stem.lineTo(foot + QPointF(size * 0.13, -size * 0.8));
    stem.cubicTo(foot + QPointF(size * 0.14, -size * 0.6),
                 foot + QPointF(size * 0.24, -size * 0.35), foot + QPointF(size * 0.2, 0));
    stem.closeSubpath();
    QLinearGradient stemShade(foot.x() - size * 0.24, 0, foot.x() + size * 0.24, 0);
    stemShade.setColorAt(0, stemDark);
    stemShade.setColorAt(0.35, stemLight);
    stemShade.setColorAt(1, stemDark);
    fillOutlined(painter, stem, stemShade, foregroundOutline, 2.5);
    // Cap: a dome, red with white spots, brown, or golden.
    const Tone caps[] = {{QColor("#ff5a44"), QColor("#d42a1e"), QColor("#7a1010")},
                         {QColor("#c58a52"), QColor("#8a5228"), QColor("#4a2810")},
                         {QColor("#ffd468"), QColor("#e39a26"), QColor("#8a5410")}};
    const Tone &tone = caps[kind % 3];
    const QPointF capBase = foot + QPointF(0, -size * 0.72);
    QPainterPath cap;
    cap.moveTo(capBase + QPointF(-size * 0.55, 0));
    cap.cubicTo(capBase + QPointF(-size * 0.55, -size * 0.5),
                capBase + QPointF(size * 0.55, -size * 0.5), capBase + QPointF(size * 0.55, 0));
    cap.quadTo(capBase + QPointF(0, size * 0.1), capBase + QPointF(-size * 0.55, 0));
    cap.closeSubpath();
    painter.fillPath(cap, litBall(capBase + QPointF(0, -size * 0.2), size * 0.55, tone));
    if (kind % 3 == 0) {
        painter.save();
        painter.setClipPath(cap);
        painter.setPen(Qt::NoPen);
        painter.setBrush(QColor("#fff6e6"));
        for (int i = 0; i < 6; ++i) {
            const QPointF at = capBase
                + QPointF(random.range(-0.42, 0.42) * size, -random.range(0.08, 0.32) * size);
            painter.drawEllipse(at, size * 0.06 + 1, size * 0.05 + 1);
        }
        painter.restore();
    }
    painter.strokePath(cap,
                       QPen(foregroundOutline, 2.5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
}

} // namespace

QImage paintForeground()
{
    const int width = 1920;
    QImage image = newCanvas(width, 667);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    Random random(2);

    // Two groups of three trees; the middle third stays open sky.
    struct TreeSpec
    {
        double x, crownY, radius;
        const Tone *tone;
    };
    const TreeSpec trees[] = {
        {335, 140, 128, &crownOrange}, {110, 200, 118, &crownGreen},  {535, 240, 96, &crownOlive},
        {1595, 150, 126, &crownGreen}, {1815, 215, 108, &crownOlive}, {1385, 235, 98, &crownOrange},
    };
    for (const TreeSpec &tree : trees)
        paintTree(painter, random, tree.x, tree.crownY, tree.radius, *tree.tone);

    // The bushes: an opaque bed from row 480 down, then three rows of clumps, back to front.
    painter.fillRect(QRectF(0, 480, width, 187), bushTones[3].dark);
    for (int i = 0; i < 21; ++i) {
        const double x = -30 + i * 100 + random.range(-14, 14);
        const double radius = random.range(68, 82);
        const Tone &tone = bushTones[random.below(5)];
        if (x > 905 && x < 1015)
            continue; // a dip in the middle, where the character peeks over
        paintBush(painter, random, QPointF(x, 480 + random.range(-8, 8)), radius,
                  Tone {tone.light.darker(125), tone.base.darker(125), tone.dark.darker(125)});
    }
    for (int i = 0; i < 18; ++i) {
        const double x = 20 + i * 113 + random.range(-12, 12);
        paintBush(painter, random, QPointF(x, 530 + random.range(-8, 8)), random.range(72, 86),
                  bushTones[random.below(4)]);
    }
    for (int i = 0; i < 16; ++i) {
        const double x = 60 + i * 128 + random.range(-15, 15);
        paintBush(painter, random, QPointF(x, 612 + random.range(-6, 6)), random.range(64, 78),
                  bushTones[random.below(5)]);
    }
    // Mushrooms in small families at the bushes' feet.
    const double mushrooms[][3] = {{96, 42, 0},   {128, 28, 0},  {420, 36, 1},  {690, 48, 2},
                                   {722, 30, 2},  {905, 34, 0},  {1180, 44, 1}, {1212, 26, 1},
                                   {1460, 40, 0}, {1680, 34, 2}, {1850, 46, 0}, {1880, 30, 1}};
    for (const auto &m : mushrooms)
        paintMushroom(painter, random, QPointF(m[0], 616), m[1], int(m[2]));
    return image;
}
