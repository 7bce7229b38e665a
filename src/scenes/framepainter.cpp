#include "framepainter.h"

#include "instruction.h"

#include <QPainter>
#include <QRegion>
#include <QSemaphore>
#include <QThread>

#include <algorithm>
#include <cmath>
#include <utility>

// ThreadSanitizer cannot see the order that Qt's thread pool and semaphore give the bands (they
// wait on futexes of their own), so under it the order is stated: what one thread does before
// handOver() is seen by another after takeOver(). The address is a static one, so that a band
// thread needs to read nothing of its task before it takes over.
#if defined(__SANITIZE_THREAD__)
extern "C" void __tsan_acquire(void *address);
extern "C" void __tsan_release(void *address);
static char bandOrder;
static void handOver()
{
    __tsan_release(&bandOrder);
}
static void takeOver()
{
    __tsan_acquire(&bandOrder);
}
#else
static void handOver() { }
static void takeOver() { }
#endif

qreal fitScale(QSize devicePixels)
{
    return std::min(qreal(devicePixels.width()) / compositionWidthPx,
                    qreal(devicePixels.height()) / compositionHeightPx);
}

QRect fittedRect(QSize devicePixels)
{
    if (devicePixels.isEmpty())
        return QRect();
    const qreal scale = fitScale(devicePixels);
    // The fit dimension's product is that dimension give or take a rounding error: 1e-6 keeps it
    // from being rounded down a whole pixel.
    const auto whole
        = [](qreal px, int most) { return std::clamp(int(std::floor(px + 1e-6)), 1, most); };
    const int width = whole(compositionWidthPx * scale, devicePixels.width());
    const int height = whole(compositionHeightPx * scale, devicePixels.height());
    return QRect((devicePixels.width() - width) / 2, (devicePixels.height() - height) / 2, width,
                 height);
}

QRegion deviceRegion(QSize devicePixels, const QRegion &scene)
{
    const QRect area = fittedRect(devicePixels);
    const qreal scale = fitScale(devicePixels);
    // The scenes' origin: the centre of the viewport they see, by whole logical pixels.
    const QSize viewport = logicalSize(area.size(), scale);
    const QPointF centre(viewport.width() / 2, viewport.height() / 2);
    QRegion device;
    for (const QRect &part : scene) {
        const QRectF scaled(area.topLeft() + (part.topLeft() + centre) * scale,
                            QSizeF(part.size()) * scale);
        device += scaled.toAlignedRect().adjusted(-1, -1, 1, 1).intersected(area);
    }
    return device;
}

QRegion scaledOutwards(const QRegion &region, qreal factor)
{
    QRegion scaled;
    for (const QRect &part : region)
        scaled += QRectF(QPointF(part.topLeft()) * factor, QSizeF(part.size()) * factor)
                      .toAlignedRect();
    return scaled;
}

FramePainter::FramePainter(const QList<Instruction *> &scenes, int threads)
    : scenes(scenes), bandCount(std::max(1, threads))
{
    // The calling thread paints the first band; the pool's threads the others. They stay
    // alive between frames.
    pool.setMaxThreadCount(std::max(1, bandCount - 1));
    pool.setExpiryTimeout(-1);
}

FramePainter::~FramePainter()
{
    pool.waitForDone();
}

void FramePainter::setScenes(const QList<Instruction *> &list)
{
    scenes = list;
    preparedScale = 0;
}

int FramePainter::idealThreads()
{
    return std::max(1, QThread::idealThreadCount());
}

void FramePainter::prepareFor(QSize devicePixels)
{
    if (devicePixels.isEmpty())
        return;
    const qreal scale = fitScale(devicePixels);
    if (scale == preparedScale)
        return;
    for (Instruction *each : std::as_const(scenes)) {
        if (auto *aware = dynamic_cast<ScaleAware *>(each))
            aware->prepareScale(scale);
    }
    preparedScale = scale;
}

bool FramePainter::draw(Instruction &scene, long t, QImage &frame, const QRegion &only)
{
    if (frame.isNull()) {
        // Nothing to show; the scene still runs, so that the sequence moves on as it would.
        QImage pixel(1, 1, QImage::Format_RGB32);
        QPainter painter(&pixel);
        return scene.draw(t, painter);
    }
    prepareFor(frame.size());
    return paintBands(
        frame, fittedRect(frame.size()), fitScale(frame.size()),
        [&](QPainter &painter) { return scene.draw(t, painter); }, only);
}

bool FramePainter::draw(const SceneSequence &sequence, const SceneSequence::Frame &at,
                        QImage &frame, const QRegion &only)
{
    Instruction *scene = sequence.scene(at.scene);
    if (!scene)
        return false;
    draw(*scene, at.timeMs, frame, only);
    return true;
}

bool FramePainter::paintBand(QImage &frame, const QRect &area, int band, int bands, qreal scale,
                             const std::function<bool(QPainter &)> &paint, const QRegion &only)
{
    // The band's rows of the frame: the area's rows shared out evenly, the rows above the area
    // going to the first band and those below it to the last.
    const int top = band == 0 ? 0 : area.top() + area.height() * band / bands;
    const int bottom
        = band == bands - 1 ? frame.height() : area.top() + area.height() * (band + 1) / bands;
    const QRect rows(0, top, frame.width(), bottom - top);

    // A painter per band needs a QImage per band (one paint engine per image), so each band
    // paints through its own images over the frame's pixels.
    const QRegion painted = only.isEmpty() ? QRegion(rows) : only.intersected(rows);
    const QRegion bars = painted.subtracted(area);
    if (!bars.isEmpty()) {
        QImage pixels(frame.bits(), frame.width(), frame.height(), frame.bytesPerLine(),
                      frame.format());
        QPainter painter(&pixels);
        const QColor fill = sceneColour();
        for (const QRect &bar : bars)
            painter.fillRect(bar, fill);
    }

    // The area as an image of its own, so that its painter's viewport is the area.
    uchar *corner
        = frame.bits() + area.top() * frame.bytesPerLine() + area.left() * (frame.depth() / 8);
    QImage pixels(corner, area.width(), area.height(), frame.bytesPerLine(), frame.format());
    QPainter painter(&pixels);
    if (!only.isEmpty())
        painter.setClipRegion(painted.intersected(area).translated(-area.topLeft()));
    else if (bands > 1)
        painter.setClipRect(rows.intersected(area).translated(-area.topLeft()));
    if (scale != 1)
        painter.setWorldTransform(QTransform::fromScale(scale, scale));
    return paint(painter);
}

bool FramePainter::paintBands(QImage &frame, qreal scale,
                              const std::function<bool(QPainter &)> &paint)
{
    return paintBands(frame, frame.rect(), scale, paint);
}

bool FramePainter::paintBands(QImage &frame, const QRect &area, qreal scale,
                              const std::function<bool(QPainter &)> &paint, const QRegion &only)
{
    const int bands = std::min(bandCount, std::max(1, area.height()));
    frame.bits(); // detach here, not from the band threads
    QSemaphore done;
    for (int band = 1; band < bands; ++band) {
        std::function<void()> task = [&, band] {
            takeOver();
            paintBand(frame, area, band, bands, scale, paint, only);
            handOver();
            done.release();
        };
        handOver();
        pool.start(std::move(task));
    }
    const bool result = paintBand(frame, area, 0, bands, scale, paint, only);
    done.acquire(bands - 1);
    takeOver();
    return result;
}
