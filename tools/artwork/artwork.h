#ifndef ARTWORK_H
#define ARTWORK_H

#include <QColor>
#include <QImage>
#include <QList>
#include <QPainterPath>
#include <QPointF>
#include <QString>

// The demo's pictures, each painted from scratch onto a transparent ARGB32 canvas. Every
// function is a pure function of its arguments: the same call always gives the same pixels.
QImage paintBackground(); // 1920 x 1080
QImage paintForeground(); // 1920 x 667
QImage paintCharacter(bool waving); // 284 x 507
QImage paintGrinder(int frame); // 680 x 953, frame 0 (crank up) to 5 (crank down)
QImage paintCheeseTub(); // 413 x 292

struct Artwork
{
    QString name; // resource name, also the file name without ".png"
    QImage image;
};

// All eleven images in resource order.
QList<Artwork> paintAll();

// The labelled overview of all images.
QImage paintContactSheet(const QList<Artwork> &artworks);

// Small deterministic pseudo-random source (xorshift64*), so that the pictures never depend on
// the standard library's or the toolkit's generators.
class Random
{
public:
    explicit Random(quint64 seed) : state(seed * 0x9E3779B97F4A7C15ull + 1) { }
    quint64 next()
    {
        state ^= state >> 12;
        state ^= state << 25;
        state ^= state >> 27;
        return state * 0x2545F4914F6CDD1Dull;
    }
    // Uniform in [0, 1).
    double uniform() { return double(next() >> 11) / double(1ull << 53); }
    double range(double low, double high) { return low + (high - low) * uniform(); }
    int below(int n) { return int(next() % quint64(n)); }

private:
    quint64 state;
};

// A transparent canvas in the painting format.
QImage newCanvas(int width, int height);

// Linear mix of two colours (alpha included), t = 0 gives a.
QColor mix(const QColor &a, const QColor &b, double t);

// The point at parameter t (0 to 1) on the cubic curve p0..p3.
QPointF cubicPoint(QPointF p0, QPointF c1, QPointF c2, QPointF p3, double t);

// A filled band that follows the cubic curve p0..p3 and narrows linearly from width w0 to w1,
// with round ends.
QPainterPath taperedStroke(QPointF p0, QPointF c1, QPointF c2, QPointF p3, double w0, double w1);

// A lumpy round shape: a circle of the given radius with `lobes` bumps on its rim.
QPainterPath lumpyCircle(QPointF centre, double radius, int lobes, double bump, double phase);

// Fills the path with the brush and draws its outline with a round-joined pen.
void fillOutlined(class QPainter &painter, const QPainterPath &path, const QBrush &brush,
                  const QColor &outline, double outlineWidth);

#endif // ARTWORK_H
