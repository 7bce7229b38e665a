#ifndef DISPLAYPACING_H
#define DISPLAYPACING_H

#include <QObject>
#include <QTimer>

#include <chrono>

class QSocketNotifier;
class QPaintDeviceWindow;
struct xcb_connection_t;

// Times on the monotonic clock (CLOCK_MONOTONIC): the clock of QElapsedTimer and of the refresh
// times that the X server reports.
using MonotonicTime = std::chrono::steady_clock::time_point;

// When a display refreshes, learnt from the refreshes it reports: each one's counter (the MSC,
// one count per refresh) and its time. The reported times jitter by a millisecond or so; this
// follows them with a steady period and phase, so that the estimated times of consecutive
// refreshes lie one period apart. A report far from the estimate (a change of rate or of
// display, a clock step) starts the estimate afresh.
class RefreshClock
{
public:
    // Refresh `msc` happened at `timeNs`, ns on the monotonic clock.
    void observe(quint64 msc, qint64 timeNs);

    // Whether any refresh was reported; whether the period and phase are known: after two.
    bool hasReports() const { return started; }
    bool isKnown() const { return periodNs > 0; }
    qint64 period() const { return periodNs; } // ns; 0 while unknown
    quint64 lastMsc() const { return latestMsc; }

    // The estimated time of refresh `msc`, ns; only meaningful once isKnown().
    qint64 timeOf(quint64 msc) const;
    // The first refresh after both `timeNs` and the latest refresh reported.
    quint64 nextAfter(qint64 timeNs) const;

private:
    bool started = false;
    quint64 anchorMsc = 0; // the report the estimate began with
    double anchorNs = 0;
    quint64 baseMsc = 0; // the latest refresh on track, with its estimated time
    double baseNs = 0;
    double periodNs = 0;
    quint64 latestMsc = 0; // the latest refresh reported
    int reports = 0; // on track since the estimate began
    int outliers = 0; // reports far from the estimate, one after the other
};

// Paces a window's frames to the refresh of the display it is on. On X11 (and so XWayland)
// with the Present extension, the next frame is requested right after each refresh, to be ready
// for the one after it, and each frame is told the time of that refresh. Elsewhere the next
// frame is requested at once: on Wayland the toolkit itself holds each frame back until the
// compositor asks for one; an X server without Present leaves the frames unpaced, which is said
// once on stderr.
//
// The refreshes come through a connection of our own to the X server, watched by a socket
// notifier on the window's thread: Qt's own connection is private to its platform plugin, whose
// event reader would not pass Present's events on.
class DisplayPacing : public QObject
{
public:
    explicit DisplayPacing(QPaintDeviceWindow *window);
    ~DisplayPacing() override;

    // Paced, the default: one frame per refresh where the display reports its refreshes.
    // Unpaced: each frame is requested as soon as the last one is painted.
    void setPaced(bool paced);
    // Whether the refreshes are followed: X11 with Present, once the first frame is out.
    bool followsRefreshes() const { return state == State::Present; }
    // The display's refresh period as measured, ns; 0 while unknown.
    qint64 refreshPeriodNs() const { return clock.period(); }

    // When the frame being painted now will be on screen, as closely as the display tells:
    // the refresh after the latest one reported, or now where unknown. Never earlier than the
    // time it gave the frame before.
    MonotonicTime frameShownAt();
    // Requests the next frame: right after the next refresh where refreshes are followed,
    // otherwise at once.
    void requestFrame();

private:
    enum class State { Unstarted, Present, Unpaced };

    void followRefreshes();
    bool selectRefreshEvents();
    void askForRefresh();
    void readEvents();
    void unpaced(const char *why);
    void disconnectFromDisplay();

    QPaintDeviceWindow *window;
    bool paced = true;
    State state = State::Unstarted;
    xcb_connection_t *connection = nullptr;
    QSocketNotifier *notifier = nullptr;
    quint8 presentOpcode = 0;
    quint32 eventId = 0;
    quint32 watchedWindow = 0; // the native window the events are selected on
    // Of the latest request. Present reports other clients' requests on the window to us too, so
    // the serials start at random.
    quint32 serial;
    bool waiting = false; // for the refresh that the latest request asked about
    QTimer watchdog; // asks again should a requested refresh never be reported
    RefreshClock clock;
    MonotonicTime lastShownAt;
};

#endif // DISPLAYPACING_H
