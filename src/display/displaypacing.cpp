#include "displaypacing.h"

#include <QAbstractNativeEventFilter>
#include <QGuiApplication>
#include <QPaintDeviceWindow>
#include <QRandomGenerator>
#include <QScreen>
#include <QSocketNotifier>

#include <xcb/present.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace {

// If a refresh that was asked about is not reported within this time, the next frame is asked
// for anyway (and the refresh again), so that the show never stops.
constexpr int watchdogMs = 1000;

#if QT_VERSION >= QT_VERSION_CHECK(6, 2, 0)
// Hands the X events of Qt's own connection to `take` before Qt passes them over.
class XcbEventFilter : public QAbstractNativeEventFilter
{
public:
    explicit XcbEventFilter(std::function<bool(const xcb_generic_event_t *)> take)
        : take(std::move(take))
    { }

    bool nativeEventFilter(const QByteArray &type, void *message, qintptr *) override
    {
        return type == "xcb_generic_event_t"
            && take(static_cast<const xcb_generic_event_t *>(message));
    }

private:
    std::function<bool(const xcb_generic_event_t *)> take;
};
#endif

} // namespace

DisplayPacing::DisplayPacing(QPaintDeviceWindow *window)
    : window(window), serial(QRandomGenerator::global()->generate())
{
    watchdog.setSingleShot(true);
    watchdog.setInterval(watchdogMs);
    connect(&watchdog, &QTimer::timeout, this, [this] {
        waiting = false;
        frameDue();
    });
    refreshWait.setSingleShot(true);
    refreshWait.setTimerType(Qt::PreciseTimer);
    connect(&refreshWait, &QTimer::timeout, this, &DisplayPacing::frameDue);
    skipWait.setSingleShot(true);
    skipWait.setTimerType(Qt::PreciseTimer);
    connect(&skipWait, &QTimer::timeout, this, &DisplayPacing::frameDue);
    tickWait.setSingleShot(true);
    tickWait.setTimerType(Qt::PreciseTimer);
    connect(&tickWait, &QTimer::timeout, this, [this] {
        dueTick = requestedTick;
        frameDue();
    });
}

DisplayPacing::~DisplayPacing()
{
    disconnectFromDisplay();
}

void DisplayPacing::setPaced(bool paced)
{
    this->paced = paced;
    if (!paced) {
        disconnectFromDisplay();
        tickWait.stop();
        state = State::Unpaced;
    } else if (state == State::Unpaced) {
        state = State::Unstarted;
    }
}

qint64 DisplayPacing::frameShownAtNs()
{
    const qint64 nowNs = monotonicNowNs();
    qint64 shownAtNs = nowNs;
    if (state == State::Present && clock.isKnown()) {
        shownAtNs = clock.nextShownAt(nowNs);
    } else if (state == State::Timer && tickNs > 0) {
        // Painted after the tick it was due at, even where the timer came a little early.
        shownTick = tickAfter(std::max(nowNs, tickOriginNs + dueTick * tickNs));
        shownAtNs = tickOriginNs + shownTick * tickNs;
    }
    lastShownAtNs = std::max(shownAtNs, lastShownAtNs);
    return lastShownAtNs;
}

void DisplayPacing::requestFrame()
{
    awaitNextFrame(false);
}

void DisplayPacing::skipFrame()
{
    awaitNextFrame(true);
}

void DisplayPacing::awaitNextFrame(bool skipping)
{
    if (state == State::Unstarted)
        followRefreshes();
    if (state == State::Present)
        askForRefresh();
    else if (state == State::Timer)
        awaitTick();
    else if (skipping) // nothing paces: a refresh period later
        skipWait.start(int((tickPeriodNs() + 999'999) / 1'000'000));
    else
        frameDue();
}

// The screen's refresh period, or 60 Hz's where the screen does not say.
qint64 DisplayPacing::tickPeriodNs() const
{
    const qreal rateHz = window->screen() && window->screen()->refreshRate() > 0
        ? window->screen()->refreshRate()
        : 60;
    return std::llround(1e9 / rateHz);
}

qint64 DisplayPacing::tickAfter(qint64 timeNs) const
{
    return timeNs < tickOriginNs ? 0 : (timeNs - tickOriginNs) / tickNs + 1;
}

// Requests the next frame at the tick that shows the latest one, or at the next tick if that
// has passed: one frame per tick, as long as a frame takes less than a tick to paint.
void DisplayPacing::awaitTick()
{
    const qint64 nowNs = monotonicNowNs();
    const qint64 periodNs = tickPeriodNs();
    if (periodNs != tickNs) { // the first request, or another rate: ticks from now
        tickNs = periodNs;
        tickOriginNs = nowNs;
        dueTick = shownTick = 0;
    }
    requestedTick = std::max(tickAfter(nowNs), shownTick);
    const qint64 waitNs = tickOriginNs + requestedTick * tickNs - nowNs;
    tickWait.start(int((waitNs + 999'999) / 1'000'000));
}

void DisplayPacing::frameDue()
{
    if (onFrameDue)
        onFrameDue();
    else
        window->update();
}

// Opens our connection to the window's X server and selects the window's refresh reports, or
// settles for a timer at the screen's refresh rate.
void DisplayPacing::followRefreshes()
{
    state = State::Unpaced;
    if (!paced || QGuiApplication::platformName() != QLatin1String("xcb"))
        return; // nothing to follow, or (on Wayland) the toolkit paces the frames

#if QT_VERSION >= QT_VERSION_CHECK(6, 2, 0)
    if (const auto *x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>()) {
        connection = x11->connection();
        sharedConnection = true;
    }
#else
    connection = xcb_connect(nullptr, nullptr);
#endif
    if (!connection || xcb_connection_has_error(connection)) {
        paceByTimer("no connection to the X server");
        return;
    }
    const xcb_query_extension_reply_t *present
        = xcb_get_extension_data(connection, &xcb_present_id);
    if (!present || !present->present) {
        paceByTimer("the X server has no Present extension");
        return;
    }
    presentOpcode = present->major_opcode;
    free(xcb_present_query_version_reply(
        connection,
        xcb_present_query_version(connection, XCB_PRESENT_MAJOR_VERSION, XCB_PRESENT_MINOR_VERSION),
        nullptr));
    if (!selectRefreshEvents()) {
        paceByTimer("the window is not on the display named by DISPLAY");
        return;
    }
    // What the screen says until its reports say better.
    if (window->screen() && window->screen()->refreshRate() > 0)
        clock.assumePeriod(qint64(1e9 / window->screen()->refreshRate()));
#if QT_VERSION >= QT_VERSION_CHECK(6, 2, 0)
    filter = std::make_unique<XcbEventFilter>([this](const xcb_generic_event_t *event) {
        bool ours = false;
        if (!takeEvent(event, &ours))
            return false;
        if (ours)
            refreshReported();
        return true;
    });
    QCoreApplication::instance()->installNativeEventFilter(filter.get());
#else
    notifier
        = new QSocketNotifier(xcb_get_file_descriptor(connection), QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &DisplayPacing::readEvents);
#endif
    state = State::Present;
}

// Selects the refresh reports on the window's current native window, which our connection must
// be able to see.
bool DisplayPacing::selectRefreshEvents()
{
    const xcb_window_t id = xcb_window_t(window->winId());
    if (id == watchedWindow)
        return true;
    xcb_generic_error_t *error = nullptr;
    free(xcb_get_geometry_reply(connection, xcb_get_geometry(connection, id), &error));
    if (error) {
        free(error);
        return false;
    }
    if (watchedWindow)
        xcb_present_select_input(connection, eventId, watchedWindow,
                                 XCB_PRESENT_EVENT_MASK_NO_EVENT);
    else
        eventId = xcb_generate_id(connection);
    xcb_present_select_input(connection, eventId, id, XCB_PRESENT_EVENT_MASK_COMPLETE_NOTIFY);
    watchedWindow = id;
    waiting = false;
    return true;
}

void DisplayPacing::askForRefresh()
{
    if (waiting)
        return; // the pending report brings the next frame
    if (!selectRefreshEvents()) {
        paceByTimer("the window left the display");
        awaitTick();
        return;
    }
    // The refresh after the latest one reported; before the first report, whichever refresh
    // comes first (a past target is reported at once, with the current counter).
    const quint64 target = clock.hasReports() ? clock.lastMsc() + 1 : 0;
    xcb_present_notify_msc(connection, watchedWindow, ++serial, target, 0, 0);
    xcb_flush(connection);
    waiting = true;
    watchdog.start();
    // A reply read on the way may have queued events that the socket notifier will not see.
    if (!sharedConnection)
        readEvents();
}

bool DisplayPacing::takeEvent(const void *event, bool *ours)
{
    const auto *complete = static_cast<const xcb_present_complete_notify_event_t *>(event);
    if ((complete->response_type & 0x7f) != XCB_GE_GENERIC || complete->extension != presentOpcode
        || complete->event_type != XCB_PRESENT_COMPLETE_NOTIFY || complete->event != eventId
        || complete->kind != XCB_PRESENT_COMPLETE_KIND_NOTIFY_MSC)
        return false;
    clock.observe(complete->msc, qint64(complete->ust) * 1000);
    *ours = complete->serial == serial;
    return true;
}

void DisplayPacing::readEvents()
{
    bool refreshed = false;
    while (xcb_generic_event_t *event = xcb_poll_for_event(connection)) {
        bool ours = false;
        takeEvent(event, &ours);
        refreshed = refreshed || ours;
        free(event);
    }
    if (xcb_connection_has_error(connection)) {
        paceByTimer("the connection to the X server broke");
        awaitTick();
        return;
    }
    if (refreshed)
        refreshReported();
}

void DisplayPacing::refreshReported()
{
    if (waiting) {
        waiting = false;
        watchdog.stop();
        // After a report early, off the grid, a frame painted now would be shown no later than
        // the last one: it is painted right after the refresh that shows the last one.
        const qint64 nowNs = monotonicNowNs();
        if (clock.isKnown() && clock.nextShownAt(nowNs) <= lastShownAtNs)
            refreshWait.start(int((lastShownAtNs - nowNs + 999'999) / 1'000'000));
        else
            frameDue();
    }
}

void DisplayPacing::paceByTimer(const char *why)
{
    disconnectFromDisplay();
    state = State::Timer;
    static bool said = false;
    if (!said) {
        std::fprintf(stderr,
                     "mincer: %s; a timer paces the frames at the screen's refresh rate "
                     "(%.2f Hz), not the display's refreshes\n",
                     why, 1e9 / double(tickPeriodNs()));
        said = true;
    }
}

void DisplayPacing::disconnectFromDisplay()
{
    watchdog.stop();
    refreshWait.stop();
    waiting = false;
    if (notifier) { // possibly from within its own signal
        notifier->setEnabled(false);
        notifier->deleteLater();
        notifier = nullptr;
    }
    if (filter)
        QCoreApplication::instance()->removeNativeEventFilter(filter.get());
    filter.reset();
    if (connection && sharedConnection && watchedWindow) {
        xcb_present_select_input(connection, eventId, watchedWindow,
                                 XCB_PRESENT_EVENT_MASK_NO_EVENT);
        xcb_flush(connection);
    }
    if (connection && !sharedConnection)
        xcb_disconnect(connection);
    connection = nullptr;
    sharedConnection = false;
    watchedWindow = 0;
}

void requestImmediateRepaints()
{
    if (!qEnvironmentVariableIsSet("QT_QPA_UPDATE_IDLE_TIME"))
        qputenv("QT_QPA_UPDATE_IDLE_TIME", "0");
}
