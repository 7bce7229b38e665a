#include "window.h"

#include "forest.h"
#include "instruction.h"
#include "mince.h"

#include <QGuiApplication>
#include <QKeyEvent>
#include <QPainter>
#include <QScreen>

#include <algorithm>
#include <cstdio>
#include <cstring>

float createFade(qint64 time, qint64 length, qint64 fadeIn, qint64 fadeOut)
{
    const float rise = float(std::min(time, fadeIn)) / float(fadeIn);
    const float fall = float(std::min(length - time, fadeOut)) / float(fadeOut);
    return rise * fall;
}

QList<Instruction *> createScenes()
{
    return {new Forest, new Mince};
}

bool drawSequenceFrame(const QList<Instruction *> &instructions, int &current, int &offset,
                       qint64 elapsed, const SceneDraw &drawScene)
{
    if (current >= instructions.size())
        return false;
    if (drawScene(*instructions.at(current), elapsed + offset))
        return false;
    offset = 0;
    ++current;
    return true;
}

bool drawSequenceFrame(const QList<Instruction *> &instructions, int &current, int &offset,
                       qint64 elapsed, QPainter &painter)
{
    return drawSequenceFrame(instructions, current, offset, elapsed,
                             [&](Instruction &scene, long t) { return scene.draw(t, painter); });
}

namespace {

// Each rectangle of `region` scaled by `factor`, rounded outwards to whole pixels.
QRegion scaledOutwards(const QRegion &region, qreal factor)
{
    QRegion scaled;
    for (const QRect &part : region)
        scaled += QRectF(QPointF(part.topLeft()) * factor, QSizeF(part.size()) * factor)
                      .toAlignedRect();
    return scaled;
}

} // namespace

void requestImmediateRepaints()
{
    if (!qEnvironmentVariableIsSet("QT_QPA_UPDATE_IDLE_TIME"))
        qputenv("QT_QPA_UPDATE_IDLE_TIME", "0");
}

Window::Window() : music(std::make_unique<MusicPlayback>(QStringLiteral("music.raw")))
{
    clock.setMusicLength(music->knownLength());
    instructions = createScenes();
    frames.setScenes(instructions);
    pacing.setFrameDue([this] { frameDue(); });
    // The copies for the screen the window opens on, before the music starts: preparing them at
    // the first frame would start the picture late on a large screen.
    frames.prepareFor(screen()->size() * devicePixelRatio());

    QString error;
    if (music->start(&error)) {
        clock.setLeastQueue(music->deviceQueueBytes());
        clock.start(monotonicNowNs());
    } else {
        std::fprintf(stderr, "mincer: no sound is playing (%s); the show goes on without it\n",
                     qPrintable(error));
        silenceReported = true;
        clock.startSilent(monotonicNowNs());
    }
    clockStarted = true;

    musicWatch.setInterval(50);
    connect(&musicWatch, &QTimer::timeout, this, [this] { followMusic(monotonicNowNs()); });
    musicWatch.start();
}

Window::Window(const QList<Instruction *> &scenes) : instructions(scenes)
{
    frames.setScenes(instructions);
    pacing.setFrameDue([this] { frameDue(); });
}

Window::~Window() = default;

void Window::followMusic(qint64 nowNs)
{
    if (!music)
        return;
    music->takeRequests([this](qint64 timeNs, int bytes) { clock.bufferRequested(timeNs, bytes); });
    if (music->musicEnd() >= 0)
        clock.setMusicLength(music->musicEnd());
    const bool finished = clock.finishedAt(nowNs);
    if (clock.soundLost() && !silenceReported) {
        std::fprintf(stderr,
                     "mincer: no sound is playing (the sound device has not asked for music for "
                     "%lld s); the show goes on without it\n",
                     MusicClock::waitLimitNs / 1'000'000'000);
        silenceReported = true;
    } else if (clock.soundPlaying() && silenceReported) {
        std::fprintf(stderr, "mincer: the sound plays again\n");
        silenceReported = false;
    }
    if (finished)
        QCoreApplication::quit();
}

void Window::showCoveringScreen()
{
    followScreen(screen());
    connect(this, &QWindow::screenChanged, this, &Window::followScreen, Qt::UniqueConnection);
    showFullScreen();
}

void Window::followScreen(QScreen *screen)
{
    disconnect(screenGeometry);
    if (!screen)
        return;
    setGeometry(screen->geometry());
    screenGeometry = connect(screen, &QScreen::geometryChanged, this,
                             [this](const QRect &geometry) { setGeometry(geometry); });
}

QImage *Window::backingImage()
{
    QPaintDevice *device = redirected(nullptr);
    return device && device->devType() == QInternal::Image ? static_cast<QImage *>(device)
                                                           : nullptr;
}

qint64 Window::musicAt(qint64 shownAtNs)
{
    if (!clockStarted) {
        // Without music, the scene clock is the monotonic clock from the first frame.
        clock.startSilent(shownAtNs);
        clockStarted = true;
    }
    followMusic(monotonicNowNs());
    return clock.heardAt(shownAtNs);
}

void Window::frameDue()
{
    // What the frame shows is decided when the update is delivered: on Wayland, that is when the
    // compositor asks for a frame, which may be a refresh later.
    frameIsDue = true;
    requestUpdate();
}

bool Window::event(QEvent *event)
{
    if (event->type() != QEvent::UpdateRequest || !frameIsDue)
        return QRasterWindow::event(event);
    frameIsDue = false;
    markDueFrame();
    // Paints what was marked, at once, at the music's position decided for it.
    const bool handled = QRasterWindow::event(event);
    dueMusicNs.reset();
    return handled;
}

void Window::markDueFrame()
{
    dueMusicNs = musicAt(pacing.frameShownAtNs());
    // Where the scene says what changes, only that is painted and sent to the display, and
    // nothing while the picture stands still.
    auto *parts = current < instructions.size()
        ? dynamic_cast<ChangingParts *>(instructions.at(current))
        : nullptr;
    const QSize device = size() * devicePixelRatio();
    if (!parts || !pacing.isPaced() || current != paintedScene || paintedSize != device) {
        update();
        return;
    }
    const long t = long((*dueMusicNs - sceneStartNs) / 1'000'000 + offset);
    const QRegion changed = deviceRegion(device, parts->changedBetween(paintedTime, t));
    if (changed.isEmpty()) {
        pacing.skipFrame();
        return;
    }
    update(scaledOutwards(changed, 1 / devicePixelRatio()));
}

void Window::paintEvent(QPaintEvent *event)
{
    const qint64 musicNs = dueMusicNs ? *dueMusicNs : musicAt(pacing.frameShownAtNs());

    // The frame is painted straight into the backing store's pixels (no copy), through an image
    // of the window's size in device pixels; the scenes are fitted to it.
    const QSize device = size() * devicePixelRatio();
    QImage *store = backingImage();
    QImage storePixels;
    if (store) {
        storePixels = QImage(store->bits(), std::min(device.width(), store->width()),
                             std::min(device.height(), store->height()), store->bytesPerLine(),
                             store->format());
    } else if (ownFrame.size() != device) {
        ownFrame = QImage(device, QImage::Format_RGB32);
    }
    QImage &frame = store ? storePixels : ownFrame;
    // What is to be painted: the part asked for, unless it is all of the window.
    QRegion only;
    if (store && event->region() != QRegion(QRect(QPoint(0, 0), size())))
        only = scaledOutwards(event->region(), devicePixelRatio());
    const SceneDraw drawScene = [&](Instruction &scene, long t) {
        paintedTime = t;
        return frames.draw(scene, t, frame, only);
    };
    paintedScene = current;
    paintedSize = device;
    const qint64 elapsedMs = (musicNs - sceneStartNs) / 1'000'000;
    if (drawSequenceFrame(instructions, current, offset, elapsedMs, drawScene))
        sceneStartNs = musicNs;
    if (!store) {
        QPainter painter(this);
        painter.drawImage(QRect(QPoint(0, 0), size()), frame);
    }
    pacing.requestFrame();
}

void Window::keyPressEvent(QKeyEvent *event)
{
    if (event->isAutoRepeat())
        return;
    switch (event->key()) {
    case Qt::Key_Escape:
        QCoreApplication::quit();
        break;
    case Qt::Key_Left:
        offset -= 1000;
        break;
    case Qt::Key_Right:
        offset += 1000;
        break;
    case Qt::Key_Up:
        offset += 10000;
        break;
    case Qt::Key_Down:
        offset -= 10000;
        break;
    default:
        break;
    }
}
