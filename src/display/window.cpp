#include "window.h"

#include "instruction.h"
#include "scenelist.h"
#include "show.h"

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

Window::Window(std::unique_ptr<Show> show) : theShow(std::move(show))
{
    frames.setScenes(theShow->scenes());
    pacing.setFrameDue([this] { frameDue(); });
    followScreens();
    connect(theShow.get(), &Show::ended, this, [](int status) { QCoreApplication::exit(status); });
}

Window::Window(const QList<Instruction *> &scenes) : Window(std::make_unique<Show>(scenes)) { }

Window::~Window() = default;

void Window::play()
{
    // The copies for the size the window shows, before the music starts: preparing them at the
    // first frame would start the picture late on a large screen.
    frames.prepareFor((coveringScreen ? screen()->size() : size()) * devicePixelRatio());
    theShow->start();
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
    dueFrame = theShow->frameShownAt(pacing.frameShownAtNs());
    // Where the scene says what changes, only that is painted and sent to the display, and
    // nothing while the picture stands still.
    auto *parts = dynamic_cast<ChangingParts *>(theShow->scene(dueFrame->scene));
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
        = dueFrame ? *dueFrame : theShow->frameShownAt(pacing.frameShownAtNs());

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
    if (frames.draw(theShow->sceneSequence(), due, frame, only))
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
    const auto seek = [this](int deltaMs) { theShow->seek(deltaMs); };
    switch (event->key()) {
    case Qt::Key_Escape:
        theShow->quit();
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
    case Qt::Key_N:
    case Qt::Key_PageDown:
        theShow->nextSong();
        break;
    case Qt::Key_P:
    case Qt::Key_PageUp:
        theShow->previousSong();
        break;
    case Qt::Key_F11:
    case Qt::Key_F:
        toggleFullScreen();
        break;
    default:
        break;
    }
}
