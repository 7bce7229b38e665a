#ifndef WINDOW_H
#define WINDOW_H

#include "displaypacing.h"
#include "framepainter.h"

#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QList>
#include <QRasterWindow>

#include <functional>

class Instruction;
class QPainter;

// The format of "music.raw": headerless signed 16-bit little-endian PCM, interleaved stereo.
constexpr int musicRateHz = 44100; // sample frames per second
constexpr int musicChannels = 2;
constexpr int musicBytesPerFrame = 4; // one 16-bit sample per channel

// Fade envelope over [0, length] ms: rises linearly over the first fadeIn ms, holds at 1 and
// falls over the last fadeOut ms. Not clamped: times outside [0, length] give negative values.
float createFade(qint64 time, qint64 length, qint64 fadeIn, qint64 fadeOut);

// Audio fill callback: copies the next len bytes of the window's music into stream.
void effect(void *userdata, unsigned char *stream, int len);

// The demo's scenes in playing order, each created on the heap and never deleted.
QList<Instruction *> createScenes();

// Draws one scene at a scene time (ms) and returns what the scene's draw returned.
using SceneDraw = std::function<bool(Instruction &scene, long t)>;

// One frame of a scene sequence: draws scene `current` at time elapsed + offset (ms). When that
// scene reports its end, the sequence moves on to the next one with the seek offset cleared and
// the function returns true: the caller's scene clock must restart at zero. Past the last scene
// nothing is drawn.
bool drawSequenceFrame(const QList<Instruction *> &instructions, int &current, int &offset,
                       qint64 elapsed, const SceneDraw &drawScene);
// The same, with the scene drawn by one painter.
bool drawSequenceFrame(const QList<Instruction *> &instructions, int &current, int &offset,
                       qint64 elapsed, QPainter &painter);

// Has the toolkit deliver each repaint the window asks for at once, instead of after its default
// 5 ms idle time that would cap the frame rate below 144 per second. Call before the application
// object exists; a QT_QPA_UPDATE_IDLE_TIME set by the user wins.
void requestImmediateRepaints();

// The demo: a window that plays the scenes one after the other while the music streams.
class Window : public QRasterWindow
{
public:
    // The demo itself: opens "music.raw", creates the scenes and starts the music.
    Window();
    // Plays the given scenes, silently. The scenes stay owned by the caller.
    explicit Window(const QList<Instruction *> &scenes);
    ~Window() override;

    // Shows the window full-screen. Without a window manager showFullScreen() alone keeps the
    // default size, so the window gets its screen's geometry first, and again whenever its
    // screen's geometry changes or it moves to another screen.
    void showCoveringScreen();

    // Paces the frames to the display's refresh (see DisplayPacing).
    DisplayPacing &displayPacing() { return pacing; }

protected:
    void paintEvent(QPaintEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;

private:
    friend void effect(void *userdata, unsigned char *stream, int len);

    void followScreen(QScreen *screen);
    // The backing store's pixels for this paint, or null where the platform's backing store is
    // not an image.
    QImage *backingImage();

    QFile music;
    QList<Instruction *> instructions;
    QElapsedTimer timer;
    int current = 0;
    int offset = 0; // seek offset, ms

    FramePainter frames; // fits the scenes to the window, painting in bands on all cores
    QImage ownFrame; // where frames are painted when the backing store is not an image
    QMetaObject::Connection screenGeometry;
    DisplayPacing pacing {this}; // when each frame will be shown, and when to paint the next
};

#endif // WINDOW_H
