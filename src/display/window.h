#ifndef WINDOW_H
#define WINDOW_H

#include "displaypacing.h"
#include "framepainter.h"
#include "scenesequence.h"

#include <QImage>
#include <QList>
#include <QRasterWindow>
#include <QTimer>

#include <memory>
#include <optional>

class Instruction;
class Show;

// The demo's window: shows the show (Show), one frame per refresh of the display, each painted in
// bands on all cores at the scene time the show gives for the moment it will be seen; takes the
// keys, and covers its screen, or the one left when it goes away. The show's end ends the
// program's event loop with the show's exit status.
class Window : public QRasterWindow
{
public:
    explicit Window(std::unique_ptr<Show> show);
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
    // A frame may be painted: it is, when the toolkit next delivers an update, where it would
    // differ from the picture on screen.
    void frameDue();
    // Decides the due frame's scene and time, and marks where its picture differs from the one on
    // screen (the whole window where that is not known), or passes over it.
    void markDueFrame();
    // The backing store's pixels for this paint, or null where the platform's backing store is
    // not an image.
    QImage *backingImage();

    std::unique_ptr<Show> theShow; // what the window shows

    bool frameIsDue = false; // frameDue() asked for an update not delivered yet
    std::optional<SceneSequence::Frame> dueFrame; // the due frame's scene and time, while painted

    // The frame on screen: its scene, scene time and size.
    int paintedScene = -1;
    long paintedTime = 0;
    QSize paintedSize;

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
