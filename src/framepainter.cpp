#include "framepainter.h"

#include "instruction.h"

#include <QPainter>
#include <QSemaphore>
#include <QThread>

#include <algorithm>

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

bool FramePainter::draw(Instruction &scene, long t, QImage &frame)
{
    if (frame.isNull()) {
        // Nothing to show; the scene still runs, so that the sequence moves on as it would.
        QImage pixel(1, 1, QImage::Format_RGB32);
        QPainter painter(&pixel);
        return scene.draw(t, painter);
    }
    const qreal scale = fitScale(frame.size());
    if (scale != preparedScale) {
        for (Instruction *each : qAsConst(scenes)) {
            if (auto *aware = dynamic_cast<ScaleAware *>(each))
                aware->prepareScale(scale);
        }
        preparedScale = scale;
    }
    return paintBands(frame, scale, [&](QPainter &painter) { return scene.draw(t, painter); });
}

bool FramePainter::paintBand(QImage &frame, int band, int bands, qreal scale,
                             const std::function<bool(QPainter &)> &paint)
{
    // A painter per band needs a QImage per band (one paint engine per image), so each band
    // paints through its own image over the frame's pixels.
    QImage pixels(frame.bits(), frame.width(), frame.height(), frame.bytesPerLine(),
                  frame.format());
    QPainter painter(&pixels);
    if (bands > 1) {
        const int top = frame.height() * band / bands;
        const int bottom = frame.height() * (band + 1) / bands;
        painter.setClipRect(QRect(0, top, frame.width(), bottom - top));
    }
    if (scale != 1)
        painter.setWorldTransform(QTransform::fromScale(scale, scale));
    return paint(painter);
}

bool FramePainter::paintBands(QImage &frame, qreal scale,
                              const std::function<bool(QPainter &)> &paint)
{
    const int bands = std::min(bandCount, std::max(1, frame.height()));
    frame.bits(); // detach here, not from the band threads
    QSemaphore done;
    for (int band = 1; band < bands; ++band) {
        std::function<void()> task = [&, band] {
            takeOver();
            paintBand(frame, band, bands, scale, paint);
            handOver();
            done.release();
        };
        handOver();
        pool.start(std::move(task));
    }
    const bool result = paintBand(frame, 0, bands, scale, paint);
    done.acquire(bands - 1);
    takeOver();
    return result;
}
