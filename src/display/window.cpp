#include "window.h"

#include "instruction.h"
#include "scenelist.h"
#include "serverlatency.h"

#include <QCursor>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QPainter>
#include <QPixmap>
#include <QPointer>
#include <QScreen>

#include <algorithm>
#include <cstdio>
#include <cstring>

Window::Window(std::unique_ptr<MusicPlayback> playback, bool withSound, bool onBeats)
    : music(std::move(playback)), sequence(createScenes()), soundWanted(withSound)
{
    if (onBeats)
        beats = std::make_unique<BeatFinder>(music->music());
    frames.setScenes(sequence.scenes());
    pacing.setFrameDue([this] { frameDue(); });
    followScreens();
    musicWatch.setInterval(50);
    connect(&musicWatch, &QTimer::timeout, this, [this] { followMusic(monotonicNowNs()); });
}

Window::Window(const QList<Instruction *> &scenes) : sequence(scenes)
{
    frames.setScenes(sequence.scenes());
    pacing.setFrameDue([this] { frameDue(); });
    followScreens();
}

void Window::play()
{
    // The copies for the size the window shows, before the music starts: preparing them at the
    // first frame would start the picture late on a large screen.
    frames.prepareFor((coveringScreen ? screen()->size() : size()) * devicePixelRatio());
    if (!music || clockStarted)
        return;
    clockStarted = true;
    if (soundWanted) {
        // SDL hands the device silence of its own until it is unpaused, which its requests do
        // not show: the device is taken to hold at least what devices were measured to hold.
        // The clock holds until a device, opened on the playback's own thread, plays.
        clock.setLeastQueueNs(leastDeviceQueueNs);
        clock.setUnreportedNs(libraryUnreportedNs());
        clock.start(monotonicNowNs());
        music->start();
        serverLatency = std::make_unique<ServerLatency>();
    } else {
        silenceReported = true;
        clock.startSilent(monotonicNowNs());
    }
    followMusic(monotonicNowNs());
    musicWatch.start();
}

Window::~Window() = default;

void Window::followDevice(qint64 nowNs)
{
    QString reason;
    for (MusicPlayback::News news;
         (news = music->takeNews(&reason)) != MusicPlayback::News::None;) {
        if (news == MusicPlayback::News::Opened) {
            // A device opened, at the start or anew, plays the music from where the show is.
            const qint64 fromNs = clock.heardAt(nowNs);
            clock.restart(nowNs, fromNs);
            music->playFrom(clock.musicBytes(fromNs));
            continue;
        }
        clock.loseSound(nowNs);
        if (!silenceReported)
            std::fprintf(stderr, "mincer: no sound is playing (%s); the show goes on without it\n",
                         qPrintable(reason));
        silenceReported = true;
    }
}

void Window::followMusic(qint64 nowNs)
{
    if (!music)
        return;
    followDevice(nowNs);
    music->takeRequests([this](qint64 timeNs, int bytes, int musicBytes) {
        clock.bufferRequested(timeNs, bytes, musicBytes);
    });
    if (serverLatency)
        serverLatency->takeNew([this](const ServerLatency::Report &report) {
            clock.serverLatencyReported(report.timeNs, report.latencyNs, report.sink,
                                        report.sinkOnly);
        });
    const MusicBuffer &loaded = music->music();
    if (music->loops() && !loopFollowed) {
        sequence.setPassLength(clock.musicNs(loaded.lengthBytes()));
        loopFollowed = true;
    } else if (!music->loops() && loaded.hasEnded()) {
        clock.setMusicLength(loaded.lengthBytes());
    }
    if (beats && beats->handedOver() != beatsTaken) {
        beatsTaken = beats->handedOver();
        qint64 knownUntilNs = 0;
        std::vector<qint64> found = beats->beats(&knownUntilNs);
        sequence.setBeats(std::move(found), knownUntilNs);
    }
    if (loaded.hasFailed() && !loadReported) {
        QString error = loaded.errorString();
        if (error.endsWith(QLatin1Char('.')))
            error.chop(1);
        std::fprintf(stderr, "mincer: %s; the show ends there, at %s\n", qPrintable(error),
                     qPrintable(musicTime(loaded.lengthBytes())));
        loadReported = true;
    }
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
    // Without sound the show moves a pipe on as if it played.
    if (clock.soundLost())
        music->passedTo(clock.musicBytes(clock.heardAt(nowNs)));
    if (finished)
        endShow();
}

void Window::endShow()
{
    // Music found damaged once the show had started ends it with the status of music refused.
    QCoreApplication::exit(loadReported ? 1 : 0);
}

void Window::showCoveringScreen(QScreen *target)
{
    if (target)
        setScreen(target);
    coveringScreen = true;
    setCursorHidden(true);
    followScreen(screen());
    connect(this, &QWindow::screenChanged, this, &Window::followScreen, Qt::UniqueConnection);
    showFullScreen();
}

void Window::showInWindow(QSize windowSize)
{
    coveringScreen = false;
    disconnect(screenGeometry);
    setCursorHidden(false);
    windowedSize = windowSize;
    QRect placed(QPoint(0, 0), windowSize);
    placed.moveCenter(screen()->availableGeometry().center());
    showNormal();
    setGeometry(placed);
}

void Window::toggleFullScreen()
{
    if (coveringScreen) {
        showInWindow(windowedSize);
        return;
    }
    windowedSize = size(); // as the user may have made it
    showCoveringScreen();
}

void Window::followScreens()
{
    connect(qGuiApp, &QGuiApplication::screenRemoved, this, [this](QScreen *gone) {
        if (gone != screen())
            return;
        QScreen *target = QGuiApplication::primaryScreen();
        for (QScreen *other : QGuiApplication::screens())
            if (target == gone)
                target = other;
        if (target != gone)
            moveToScreen(target);
    });
    connect(qGuiApp, &QGuiApplication::screenAdded, this, [this](QScreen *added) {
        if (!homeScreen.isEmpty() && added->name() == homeScreen)
            moveToScreen(added);
    });
}

void Window::moveToScreen(QScreen *target)
{
    // Once the toolkit has handled the change of screens. A display server places a window when
    // it maps it, and a Wayland compositor hears which screen a window is to cover only then, so
    // the window is shown anew there. Where no screen is left, the toolkit stands in one without
    // a size; the window waits for a real one.
    QTimer::singleShot(0, this, [this, target = QPointer<QScreen>(target)] {
        if (!target || target->geometry().isEmpty())
            return;
        const bool visible = isVisible();
        hide();
        setScreen(target);
        if (visible && coveringScreen)
            showCoveringScreen(target);
        else if (visible)
            showInWindow(size());
    });
}

void Window::followScreen(QScreen *screen)
{
    disconnect(screenGeometry);
    if (!screen || !coveringScreen || screen->geometry().isEmpty())
        return;
    setGeometry(screen->geometry());
    screenGeometry
        = connect(screen, &QScreen::geometryChanged, this, [this](const QRect &geometry) {
              if (!geometry.isEmpty())
                  setGeometry(geometry);
          });
}

void Window::setCursorHidden(bool hidden)
{
    if (hidden == cursorHidden)
        return;
    cursorHidden = hidden;
    if (!hidden) {
        QGuiApplication::restoreOverrideCursor();
        unsetCursor();
        return;
    }
    // The override cursor hides the pointer on X11. Whenever the pointer enters the window, Qt's
    // Wayland platform sets the window's own cursor instead, and for Qt::BlankCursor it sets none
    // at all, which leaves the compositor's arrow: there a cursor of one clear pixel hides it.
    QGuiApplication::setOverrideCursor(QCursor(Qt::BlankCursor));
    QPixmap transparentPixel(1, 1);
    transparentPixel.fill(Qt::transparent);
    setCursor(QCursor(transparentPixel, 0, 0));
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
    dueFrame.reset();
    return handled;
}

void Window::markDueFrame()
{
    dueFrame = sequence.at(musicAt(pacing.frameShownAtNs()));
    // Where the scene says what changes, only that is painted and sent to the display, and
    // nothing while the picture stands still.
    auto *parts = dynamic_cast<ChangingParts *>(sequence.scene(dueFrame->scene));
    const QSize device = size() * devicePixelRatio();
    if (!parts || !pacing.isPaced() || dueFrame->scene != paintedScene || paintedSize != device) {
        update();
        return;
    }
    const QRegion changed
        = deviceRegion(device, parts->changedBetween(paintedTime, dueFrame->timeMs));
    if (changed.isEmpty()) {
        pacing.skipFrame();
        return;
    }
    update(scaledOutwards(changed, 1 / devicePixelRatio()));
}

void Window::paintEvent(QPaintEvent *event)
{
    const SceneSequence::Frame due
        = dueFrame ? *dueFrame : sequence.at(musicAt(pacing.frameShownAtNs()));

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
    paintedScene = due.scene;
    paintedSize = device;
    if (frames.draw(sequence, due, frame, only))
        paintedTime = due.timeMs;
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
    const auto seek = [this](int deltaMs) { sequence.seek(musicAt(monotonicNowNs()), deltaMs); };
    switch (event->key()) {
    case Qt::Key_Escape:
        endShow();
        break;
    case Qt::Key_Left:
        seek(-1000);
        break;
    case Qt::Key_Right:
        seek(1000);
        break;
    case Qt::Key_Up:
        seek(10000);
        break;
    case Qt::Key_Down:
        seek(-10000);
        break;
    case Qt::Key_F11:
    case Qt::Key_F:
        toggleFullScreen();
        break;
    default:
        break;
    }
}
