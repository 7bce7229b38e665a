#include "displaypacing.h"

#include <QGuiApplication>
#include <QPaintDeviceWindow>
#include <QRandomGenerator>
#include <QSocketNotifier>

#include <xcb/present.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace {

// After two reports this far (a quarter period) from the estimate, one after the other, the
// estimate starts afresh; a single one is taken for a late report and passed over.
constexpr double outlierShare = 0.25;
// The period is measured over the whole span since the estimate began for this many reports;
// after that the estimate follows slow drift only.
constexpr int learningReports = 32;
// How far each report moves the estimated phase, and the period.
constexpr double phaseGain = 0.25;
constexpr double periodGain = 1.0 / 64;

// If a refresh that was asked about is not reported within this time, the next frame is asked
// for anyway (and the refresh again), so that the show never stops.
constexpr int watchdogMs = 1000;

qint64 nsSinceEpoch(MonotonicTime time)
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(time.time_since_epoch()).count();
}

} // namespace

void RefreshClock::observe(quint64 msc, qint64 timeNs)
{
    const double t = double(timeNs);
    if (!started || msc <= latestMsc) { // the first report, or the counter went back
        started = true;
        anchorMsc = baseMsc = latestMsc = msc;
        anchorNs = baseNs = t;
        reports = 1;
        outliers = 0;
        return;
    }
    latestMsc = msc;
    if (reports == 1) { // the second report: a first period
        periodNs = (t - anchorNs) / double(msc - anchorMsc);
        baseMsc = msc;
        baseNs = t;
        reports = 2;
        return;
    }

    const double predicted = baseNs + double(msc - baseMsc) * periodNs;
    const double error = t - predicted;
    if (std::abs(error) > outlierShare * periodNs) {
        if (++outliers == 1)
            return;
        // Two in a row: the display changed. Start again from this report, keeping the old
        // period until the next report measures the new one.
        anchorMsc = baseMsc = msc;
        anchorNs = baseNs = t;
        reports = 1;
        outliers = 0;
        return;
    }
    outliers = 0;
    ++reports;
    if (reports <= learningReports)
        periodNs = (t - anchorNs) / double(msc - anchorMsc);
    else
        periodNs += periodGain * error / double(msc - baseMsc);
    baseNs = predicted + phaseGain * error;
    baseMsc = msc;
}

qint64 RefreshClock::timeOf(quint64 msc) const
{
    return qint64(std::llround(baseNs + (double(msc) - double(baseMsc)) * periodNs));
}

quint64 RefreshClock::nextAfter(qint64 timeNs) const
{
    quint64 msc = latestMsc + 1;
    if (periodNs > 0 && timeOf(msc) <= timeNs)
        msc += quint64(std::floor((double(timeNs) - double(timeOf(msc))) / periodNs)) + 1;
    return msc;
}

DisplayPacing::DisplayPacing(QPaintDeviceWindow *window)
    : window(window), serial(QRandomGenerator::global()->generate())
{
    watchdog.setSingleShot(true);
    watchdog.setInterval(watchdogMs);
    connect(&watchdog, &QTimer::timeout, this, [this] {
        waiting = false;
        this->window->update();
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
        state = State::Unpaced;
    } else if (state == State::Unpaced) {
        state = State::Unstarted;
    }
}

MonotonicTime DisplayPacing::frameShownAt()
{
    const MonotonicTime now = std::chrono::steady_clock::now();
    MonotonicTime shownAt = now;
    if (state == State::Present && clock.isKnown()) {
        const qint64 refresh = clock.timeOf(clock.nextAfter(nsSinceEpoch(now)));
        shownAt = MonotonicTime(std::chrono::nanoseconds(refresh));
    }
    lastShownAt = std::max(shownAt, lastShownAt);
    return lastShownAt;
}

void DisplayPacing::requestFrame()
{
    if (state == State::Unstarted)
        followRefreshes();
    if (state == State::Present)
        askForRefresh();
    else
        window->update();
}

// Opens our connection to the window's X server and selects the window's refresh reports, or
// settles for unpaced frames.
void DisplayPacing::followRefreshes()
{
    state = State::Unpaced;
    if (!paced || QGuiApplication::platformName() != QLatin1String("xcb"))
        return; // nothing to follow, or (on Wayland) the toolkit paces the frames

    connection = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(connection)) {
        unpaced("no second connection to the X server");
        return;
    }
    const xcb_query_extension_reply_t *present
        = xcb_get_extension_data(connection, &xcb_present_id);
    if (!present || !present->present) {
        unpaced("the X server has no Present extension");
        return;
    }
    presentOpcode = present->major_opcode;
    free(xcb_present_query_version_reply(
        connection,
        xcb_present_query_version(connection, XCB_PRESENT_MAJOR_VERSION, XCB_PRESENT_MINOR_VERSION),
        nullptr));
    if (!selectRefreshEvents()) {
        unpaced("the window is not on the display named by DISPLAY");
        return;
    }
    notifier
        = new QSocketNotifier(xcb_get_file_descriptor(connection), QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &DisplayPacing::readEvents);
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
        unpaced("the window left the display");
        window->update();
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
    readEvents();
}

void DisplayPacing::readEvents()
{
    bool refreshed = false;
    while (xcb_generic_event_t *event = xcb_poll_for_event(connection)) {
        const auto *complete = reinterpret_cast<xcb_present_complete_notify_event_t *>(event);
        if ((event->response_type & 0x7f) == XCB_GE_GENERIC && complete->extension == presentOpcode
            && complete->event_type == XCB_PRESENT_COMPLETE_NOTIFY
            && complete->kind == XCB_PRESENT_COMPLETE_KIND_NOTIFY_MSC) {
            clock.observe(complete->msc, qint64(complete->ust) * 1000);
            refreshed = refreshed || complete->serial == serial;
        }
        free(event);
    }
    if (xcb_connection_has_error(connection)) {
        unpaced("the connection to the X server broke");
        window->update();
        return;
    }
    if (refreshed && waiting) {
        waiting = false;
        watchdog.stop();
        window->update();
    }
}

void DisplayPacing::unpaced(const char *why)
{
    static bool said = false;
    if (!said) {
        std::fprintf(stderr,
                     "mincer: %s; frames are drawn as fast as they can be, not once per "
                     "refresh of the display\n",
                     why);
        said = true;
    }
    disconnectFromDisplay();
    state = State::Unpaced;
}

void DisplayPacing::disconnectFromDisplay()
{
    watchdog.stop();
    waiting = false;
    if (notifier) { // possibly from within its own signal
        notifier->setEnabled(false);
        notifier->deleteLater();
        notifier = nullptr;
    }
    if (connection)
        xcb_disconnect(connection);
    connection = nullptr;
    watchedWindow = 0;
}
