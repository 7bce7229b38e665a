#ifndef PAINTLOG_H
#define PAINTLOG_H

#include "framepainter.h"
#include "instruction.h"

#include <QColor>
#include <QImage>
#include <QPaintDevice>
#include <QPaintEngine>
#include <QPainter>
#include <QPainterPath>
#include <QTextItem>
#include <QTransform>
#include <QVector>

// A paint device that draws nothing and records what a painter asks of it: every image, fill
// (of a rectangle or a path) and text, with the painter's transform and opacity at that moment.
class PaintLog : public QPaintDevice
{
public:
    struct Entry
    {
        enum Kind { Image, Fill, Text } kind;
        QRectF rect; // target rectangle (image, fill) in the painter's logical coordinates
        QImage image; // Image: the image handed over (shares the scene's data)
        QColor colour; // Fill: brush colour; Text: pen colour
        QString text; // Text
        int pixelSize = 0; // Text: font pixel size
        QTransform transform; // the painter's world transform
        qreal opacity = 1;

        // The point p of the painter's coordinates on the device.
        QPointF map(const QPointF &p) const { return transform.map(p); }
    };

    PaintLog(int width, int height) : size(width, height), engine(this) { }

    QPaintEngine *paintEngine() const override { return &engine; }

    QVector<Entry> entries;

protected:
    int metric(PaintDeviceMetric metric) const override
    {
        switch (metric) {
        case PdmWidth:
            return size.width();
        case PdmHeight:
            return size.height();
        case PdmWidthMM:
            return size.width() * 254 / 960;
        case PdmHeightMM:
            return size.height() * 254 / 960;
        case PdmNumColors:
            return 0x7fffffff;
        case PdmDepth:
            return 32;
        case PdmDpiX:
        case PdmDpiY:
        case PdmPhysicalDpiX:
        case PdmPhysicalDpiY:
            return 96;
        case PdmDevicePixelRatio:
            return 1;
        case PdmDevicePixelRatioScaled:
            return int(devicePixelRatioFScale());
        default: // Qt 6.8's ratio encoded in two parts: none, so that the ratio above counts
            break;
        }
        return 0;
    }

private:
    class Engine : public QPaintEngine
    {
    public:
        explicit Engine(PaintLog *log) : QPaintEngine(AllFeatures), log(log) { }

        bool begin(QPaintDevice *) override { return true; }
        bool end() override { return true; }
        void updateState(const QPaintEngineState &) override { }
        Type type() const override { return User; }

        void drawImage(const QRectF &r, const QImage &image, const QRectF &,
                       Qt::ImageConversionFlags) override
        {
            Entry e = current(Entry::Image);
            e.rect = r;
            e.image = image;
            log->entries.append(e);
        }

        void drawPixmap(const QRectF &r, const QPixmap &, const QRectF &) override
        {
            log->entries.append(current(Entry::Image, r));
        }

        void drawRects(const QRectF *rects, int count) override
        {
            for (int i = 0; i < count; ++i)
                log->entries.append(current(Entry::Fill, rects[i]));
        }

        void drawRects(const QRect *rects, int count) override
        {
            for (int i = 0; i < count; ++i)
                log->entries.append(current(Entry::Fill, QRectF(rects[i])));
        }

        void drawTextItem(const QPointF &p, const QTextItem &item) override
        {
            Entry e = current(Entry::Text, QRectF(p, QSizeF()));
            e.text = item.text();
            e.pixelSize = item.font().pixelSize();
            e.colour = painter()->pen().color();
            log->entries.append(e);
        }

        void drawPath(const QPainterPath &path) override
        {
            log->entries.append(current(Entry::Fill, path.boundingRect()));
        }

        // Other primitives are not expected from the scenes; they are logged as fills of their
        // bounds so that a test notices them.
        void drawPolygon(const QPointF *points, int count, PolygonDrawMode) override
        {
            log->entries.append(current(
                Entry::Fill, QPolygonF(QVector<QPointF>(points, points + count)).boundingRect()));
        }

    private:
        Entry current(Entry::Kind kind, const QRectF &rect = QRectF()) const
        {
            Entry e;
            e.kind = kind;
            e.rect = rect;
            e.colour = painter()->brush().color();
            e.transform = painter()->transform();
            e.opacity = painter()->opacity();
            return e;
        }

        PaintLog *log;
    };

    QSize size;
    mutable Engine engine;
};

// An empty frame of the window's backing-store format, for a screen of `screen` device pixels
// scaled by `ratio`.
inline QImage blankFrame(QSize screen, qreal ratio)
{
    QImage frame(screen, QImage::Format_RGB32);
    frame.setDevicePixelRatio(ratio);
    return frame;
}

// The frame that `scene` draws at time t (ms) on a blank frame, as the window paints it.
template<typename Scene> QImage drawnFrame(Scene &scene, qint64 t, QSize screen, qreal ratio)
{
    QImage frame = blankFrame(screen, ratio);
    QPainter painter(&frame);
    scene.draw(t, painter);
    return frame;
}

// The frame that `scene` draws at time t on a frame of `screen` device pixels, fitted to it and
// painted in `bands` bands at once, as the window paints it. Any pixel the scene leaves keeps a
// colour that no scene uses: magenta.
inline QImage fittedFrame(Instruction &scene, qint64 t, QSize screen, int bands)
{
    QImage frame = blankFrame(screen, 1);
    frame.fill(Qt::magenta);
    FramePainter painter({&scene}, bands);
    painter.draw(scene, t, frame);
    return frame;
}

// The frame of a pixel-test row: drawn by one painter on a frame of that pixel ratio when
// `bands` is 0, else fitted and painted in that many bands.
template<typename Scene>
QImage rowFrame(Scene &scene, qint64 t, QSize screen, qreal ratio, int bands)
{
    return bands == 0 ? drawnFrame(scene, t, screen, ratio) : fittedFrame(scene, t, screen, bands);
}

// How many pixels of two frames of the same size differ.
inline int differingPixels(const QImage &a, const QImage &b)
{
    int differing = 0;
    for (int y = 0; y < a.height(); ++y) {
        const QRgb *lineA = reinterpret_cast<const QRgb *>(a.constScanLine(y));
        const QRgb *lineB = reinterpret_cast<const QRgb *>(b.constScanLine(y));
        for (int x = 0; x < a.width(); ++x)
            differing += lineA[x] != lineB[x];
    }
    return differing;
}

#endif // PAINTLOG_H
