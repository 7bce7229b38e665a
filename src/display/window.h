#ifndef WINDOW_H
#define WINDOW_H

#include "beatfinder.h"
#include "displaypacing.h"
#include "framepainter.h"
#include "musicclock.h"
#include "musicplayback.h"
#include "scenesequence.h"

#include <QImage>
#include <QList>
#include <QRasterWindow>
#include <QTimer>

#include <memory>
#include <optional>

class Instruction;
class ServerLatency;

// The demo: a window that plays the scenes one after the other while the music streams. The
// music is the scene clock: which scene runs, and at what time, follows from how far the music has
// been heard (SceneSequence). The show ends once the whole music has been heard.
class Window : public QRasterWindow
{
public:
    // The demo itself: plays `music` (its loading started) and the demo's scenes, prepared for
    // the screen before the music starts. Without sound (`withSound` false, or no sound device to
    // be had) the show runs on the monotonic clock and ends after the music's length. With
    // `onBeats` (a song loaded whole) its beats are found as it loads, and the scenes' moments
    // land on them once found.
    Window(std::unique_ptr<MusicPlayback> music, bool withSound, bool onBeats = false);
    // Plays the given scenes, silently, on the monotonic clock from the first frame; it does not
    // end by itself. The scenes stay owned by the caller.
    explicit Window(const QList<Instruction *> &scenes);
    ~Window() override;

    // Starts the show: prepares the scenes for the size the window shows and starts the music.
    // Call once the window is shown.
    void play();

    // Shows the window full-screen on `screen` (null: the one it is on), without a cursor. Without
    // a window manager showFullScreen() alone keeps the default size, so the window gets its
    // screen's geometry first, and again whenever the screen's geometry changes.
    void showCoveringScreen(QScreen *screen = nullptr);
    // Shows an ordinary, decorated window of `size` logical pixels, with the cursor.
    void showInWindow(QSize size);
    // Between full-screen and an ordinary window (F11, F).
    void toggleFullScreen();
    // The screen the show goes back to whenever a screen of that name comes back after it went
    // away (none by default).
    void setHomeScreen(const QString &name) { homeScreen = name; }

    // Paces the frames to the display's refresh (see DisplayPacing).
    DisplayPacing &displayPacing() { return pacing; }

protected:
    void paintEvent(QPaintEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    bool event(QEvent *event) override;

private:
    // When the window's screen goes away, the show moves to the primary screen, or any left;
    // when the home screen comes back, it moves back there.
    void followScreens();
    void moveToScreen(QScreen *target);
    void followScreen(QScreen *screen);
    void setCursorHidden(bool hidden);
    // Takes in what the audio callback noted, says so when the sound stops or comes back or the
    // music could not be read to its end, and quits once the music has been heard.
    void followMusic(qint64 nowNs);
    // Starts a sound device that opened where the show is, and runs on without one that was lost
    // or could not be opened.
    void followDevice(qint64 nowNs);
    // Ends the event loop: status 0, or 1 when the music was found damaged.
    void endShow();
    // The music's position (ns) for a frame shown at `shownAtNs`: what the scene times follow.
    qint64 musicAt(qint64 shownAtNs);
    // A frame may be painted: it is, when the toolkit next delivers an update, where it would
    // differ from the picture on screen.
    void frameDue();
    // Decides the due frame's scene and time, and marks where its picture differs from the one on
    // screen (the whole window where that is not known), or passes over it.
    void markDueFrame();
    // The backing store's pixels for this paint, or null where the platform's backing store is
    // not an image.
    QImage *backingImage();

    std::unique_ptr<MusicPlayback> music; // the demo's music; none in a silent window
    SceneSequence sequence;
    std::unique_ptr<BeatFinder> beats; // the music's beats, found on a thread of their own
    int beatsTaken = 0; // the handovers of beats the sequence has taken
    MusicClock clock {musicBytesPerSecond};
    std::unique_ptr<ServerLatency> serverLatency; // what the sound server says it delays the music
    bool soundWanted = true;
    bool clockStarted = false;
    bool loopFollowed = false; // the sequence starts over with the music
    bool loadReported = false; // a music that could not be read to its end was said so

    bool frameIsDue = false; // frameDue() asked for an update not delivered yet
    std::optional<SceneSequence::Frame> dueFrame; // the due frame's scene and time, while painted

    // The frame on screen: its scene, scene time and size.
    int paintedScene = -1;
    long paintedTime = 0;
    QSize paintedSize;

    QTimer musicWatch; // follows the music also while no frames are painted
    bool silenceReported = false;

    FramePainter frames; // fits the scenes to the window, painting in bands on all cores
    QImage ownFrame; // where frames are painted when the backing store is not an image
    QMetaObject::Connection screenGeometry;
    bool coveringScreen = false;
    QString homeScreen;
    bool cursorHidden = false;
    QSize windowedSize {1280, 720};
    DisplayPacing pacing {this}; // when each frame will be shown, and when to paint the next
};

#endif // WINDOW_H
