#include "window.h"

#include "forest.h"
#include "instruction.h"
#include "mince.h"

#include <QGuiApplication>
#include <QKeyEvent>
#include <QPainter>
#include <QScreen>

#include <SDL.h>

#include <algorithm>
#include <cstring>

float createFade(qint64 time, qint64 length, qint64 fadeIn, qint64 fadeOut)
{
    const float rise = float(std::min(time, fadeIn)) / float(fadeIn);
    const float fall = float(std::min(length - time, fadeOut)) / float(fadeOut);
    return rise * fall;
}

void effect(void *userdata, unsigned char *stream, int len)
{
    auto *window = static_cast<Window *>(userdata);
    const qint64 got
        = window->music.isOpen() ? window->music.read(reinterpret_cast<char *>(stream), len) : -1;
    // Whatever the file did not fill is silence, never the previous buffer's bytes.
    const qint64 filled = std::max<qint64>(got, 0);
    std::memset(stream + filled, 0, size_t(len - filled));
    if (got > 0)
        return;

    // End of the music (or a read error): stop asking for data, then ask the GUI thread to quit.
    // The call is queued, so it is safe from this thread and still ends the program when it
    // comes before the event loop has started.
    SDL_PauseAudio(1);
    QMetaObject::invokeMethod(QCoreApplication::instance(), "quit", Qt::QueuedConnection);
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

void requestImmediateRepaints()
{
    if (!qEnvironmentVariableIsSet("QT_QPA_UPDATE_IDLE_TIME"))
        qputenv("QT_QPA_UPDATE_IDLE_TIME", "0");
}

Window::Window() : music(QStringLiteral("music.raw"))
{
    // Unbuffered, so that the audio thread's reads go straight to the file without a buffer
    // being allocated on the way.
    music.open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    instructions = createScenes();
    frames.setScenes(instructions);

    SDL_Init(SDL_INIT_AUDIO);
    SDL_AudioSpec wanted {};
    wanted.freq = musicRateHz;
    wanted.format = AUDIO_S16LSB;
    wanted.channels = musicChannels;
    wanted.samples = musicRateHz / 50; // 882 sample frames: 20 ms
    wanted.callback = effect;
    wanted.userdata = this;
    SDL_AudioSpec obtained {};
    SDL_OpenAudio(&wanted, &obtained);
    SDL_PauseAudio(0);
}

Window::Window(const QList<Instruction *> &scenes) : instructions(scenes)
{
    frames.setScenes(instructions);
}

Window::~Window()
{
    // The callback reads `music`: stop it and close the device before the file goes away.
    if (SDL_WasInit(SDL_INIT_AUDIO)) {
        SDL_CloseAudio();
        SDL_QuitSubSystem(SDL_INIT_AUDIO);
    }
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

void Window::paintEvent(QPaintEvent *)
{
    if (!timer.isValid())
        timer.start();

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
    const SceneDraw drawScene
        = [&](Instruction &scene, long t) { return frames.draw(scene, t, frame); };
    // The scene clock as it will read when this frame is on screen.
    const MonotonicTime clockStart
        = std::chrono::steady_clock::now() - std::chrono::nanoseconds(timer.nsecsElapsed());
    const qint64 elapsed
        = std::chrono::duration_cast<std::chrono::milliseconds>(pacing.frameShownAt() - clockStart)
              .count();
    if (drawSequenceFrame(instructions, current, offset, elapsed, drawScene))
        timer.restart();
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
