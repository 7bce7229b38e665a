#ifndef DISPLAYPACING_H
#define DISPLAYPACING_H

#include "monotonic.h"
#include "refreshclock.h"

#include <QObject>
#include <QTimer>

#include <functional>
#include <memory>

class QAbstractNativeEventFilter;
class QSocketNotifier;
class QPaintDeviceWindow;
struct xcb_connection_t;

// Has the toolkit deliver each repaint a window asks for at once, instead of after its default
// 5 ms idle time that would cap the frame rate below 144 per second. Call before the application
// object exists; a QT_QPA_UPDATE_IDLE_TIME set by the user wins.
void requestImmediateRepaints();

// Paces a window's frames to its display's refresh: on X11 with Present, each frame is requested
// right after a refresh and told the time of the next; without Present a timer at the screen's
// rate stands in (said once on stderr); elsewhere (Wayland) frames are requested at once and the
// toolkit waits for the compositor. Qt 6 shares its X connection (a native event filter takes the
// refreshes); Qt 5 does not pass Present's events on, so a connection of our own is watched.
class DisplayPacing : public QObject
{
public:
    explicit DisplayPacing(QPaintDeviceWindow *window);
    ~DisplayPacing() override;

    // Paced, the default: one frame per refresh where the display reports its refreshes, and
    // none while the picture stands still. Unpaced: each frame is requested as soon as the last
    // one is painted.
    void setPaced(bool paced);
    bool isPaced() const { return paced; }
    // Whether the refreshes are followed: X11 with Present, once the first frame is out.
    bool followsRefreshes() const { return state == State::Present; }
    // Whether a timer paces the frames instead: X11 without Present.
    bool pacedByTimer() const { return state == State::Timer; }
    // The display's refresh period as measured, or as the timer ticks; ns, 0 while unknown.
    qint64 refreshPeriodNs() const { return state == State::Timer ? tickNs : clock.period(); }

    // When the frame painted now will be on screen (ns, monotonic clock), as closely as the
    // display tells: the refresh after the latest one reported, the tick after the one the frame
    // was requested at where a timer paces, or now where unknown. Never earlier than the time it
    // gave the frame before.
    qint64 frameShownAtNs();
    // Requests the next frame: right after the next refresh where refreshes are followed, at
    // the next tick where a timer paces, otherwise at once.
    void requestFrame();
    // Passes over the next frame, which would show what is on screen already, and asks again at
    // the refresh or tick after it (where neither paces: one refresh period later).
    void skipFrame();
    // What is done when a frame is due: by default the window's update().
    void setFrameDue(std::function<void()> due) { onFrameDue = std::move(due); }

private:
    enum class State { Unstarted, Present, Timer, Unpaced };

    // The next frame is due at the next refresh or tick, or at once (a refresh period later when
    // `skipping` the one due) where neither paces.
    void awaitNextFrame(bool skipping);
    void followRefreshes();
    bool selectRefreshEvents();
    void askForRefresh();
    void readEvents();
    // Takes one X event (an xcb_generic_event_t): a refresh report is observed, true. `ours` is
    // set when it answers the latest request.
    bool takeEvent(const void *event, bool *ours);
    void refreshReported();
    void paceByTimer(const char *why);
    qint64 tickPeriodNs() const;
    qint64 tickAfter(qint64 timeNs) const; // the first tick after timeNs
    void awaitTick();
    void disconnectFromDisplay();
    void frameDue();

    QPaintDeviceWindow *window;
    bool paced = true;
    State state = State::Unstarted;
    xcb_connection_t *connection = nullptr;
    bool sharedConnection = false; // the toolkit's own, with its events filtered
    std::unique_ptr<QAbstractNativeEventFilter> filter;
    QSocketNotifier *notifier = nullptr;
    quint8 presentOpcode = 0;
    quint32 eventId = 0;
    quint32 watchedWindow = 0; // the native window the events are selected on
    // Of the latest request. Present reports other clients' requests on the window to us too, so
    // the serials start at random.
    quint32 serial;
    bool waiting = false; // for the refresh that the latest request asked about
    QTimer watchdog; // asks again should a requested refresh never be reported
    QTimer refreshWait; // until a refresh that was reported early
    QTimer skipWait; // a refresh period, where neither refreshes nor ticks pace
    RefreshClock clock;
    // Where a timer paces: ticks at tickOriginNs + i * tickNs; the tick the next frame is
    // requested at, the tick the latest frame was due at, and the tick that shows it.
    QTimer tickWait;
    qint64 tickOriginNs = 0;
    qint64 tickNs = 0; // 0 until the first request
    qint64 requestedTick = 0;
    qint64 dueTick = 0;
    qint64 shownTick = 0;
    qint64 lastShownAtNs = 0;
    std::function<void()> onFrameDue;
};

#endif // DISPLAYPACING_H
