#ifndef WINDOW_H
#define WINDOW_H

#include "displaypacing.h"
#include "framepainter.h"
#include "musicclock.h"
#include "musicplayback.h"

#include <QImage>
#include <QList>
#include <QRasterWindow>
#include <QTimer>

#include <functional>
#include <memory>
#include <optional>

class Instruction;
class QPainter;

// Fade envelope over [0, length] ms: rises linearly over the first fadeIn ms, holds at 1 and
// falls over the last fadeOut ms. Not clamped: times outside [0, length] give negative values.
float createFade(qint64 time, qint64 length, qint64 fadeIn, qint64 fadeOut);

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

// The demo: a window that plays the scenes one after the other while the music streams. The
// music is the scene clock: a scene's time is how far the music has been heard since the scene
// started, plus the seek offset. The show ends once the whole music has been heard.
class Window : public QRasterWindow
{
public:
    // The demo itself: opens "music.raw", creates the scenes, prepares them for the screen and
    // starts the music. Without a sound device the show runs on the monotonic clock and ends after
    // the music's length.
    Window();
    // Plays the given scenes, silently, on the monotonic clock from the first frame; it does not
    // end by itself. The scenes stay owned by the caller.
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
    bool event(QEvent *event) override;

private:
    void followScreen(QScreen *screen);
    // Takes in what the audio callback noted, says so when the sound stops or comes back, and
    // quits once the music has been heard.
    void followMusic(qint64 nowNs);
    // The music's position (ns) for a frame shown at `shownAtNs`: what the scene times follow.
    qint64 musicAt(qint64 shownAtNs);
    // A frame may be painted: it is, when the toolkit next delivers an update, where it would
    // differ from the picture on screen.
    void frameDue();
    // Decides the due frame's music position, and marks where its picture differs from the one
    // on screen (the whole window where that is not known), or passes over it.
    void markDueFrame();
    // The backing store's pixels for this paint, or null where the platform's backing store is
    // not an image.
    QImage *backingImage();

    std::unique_ptr<MusicPlayback> music; // the demo's music; none in a silent window
    QList<Instruction *> instructions;
    MusicClock clock {musicBytesPerSecond};
    bool clockStarted = false;
    qint64 sceneStartNs = 0; // the music's position when the current scene started
    int current = 0;
    int offset = 0; // seek offset, ms

    bool frameIsDue = false; // frameDue() asked for an update not delivered yet
    std::optional<qint64> dueMusicNs; // the music's position for the due frame, while it is painted

    // The frame on screen: its scene, scene time and size.
    int paintedScene = -1;
    long paintedTime = 0;
    QSize paintedSize;

    QTimer musicWatch; // follows the music also while no frames are painted
    bool silenceReported = false;

    FramePainter frames; // fits the scenes to the window, painting in bands on all cores
    QImage ownFrame; // where frames are painted when the backing store is not an image
    QMetaObject::Connection screenGeometry;
    DisplayPacing pacing {this}; // when each frame will be shown, and when to paint the next
};

#endif // WINDOW_H
