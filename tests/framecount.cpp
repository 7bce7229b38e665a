// Counts the frames a window shows over a number of its display's refreshes: the times its
// contents change (Damage) between two refreshes that the X server reports (Present). Where the
// server has no Present, the refreshes are counted on the monotonic clock at HZ instead.
// Usage: framecount WINDOW REFRESHES [HZ]
// Prints "frames F refreshes R hz H" and exits 0; 1 with a message when it cannot count.

#include <xcb/damage.h>
#include <xcb/present.h>
#include <xcb/xcb.h>

#include <poll.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include <algorithm>

// The serials of our two requests. Present reports every client's refresh requests on a window
// to every client that watches it, the demo's among them.
constexpr uint32_t startSerial = 0xf7a3e001, endSerial = 0xf7a3e002;

static int fail(const char *why)
{
    std::fprintf(stderr, "framecount: %s\n", why);
    return 1;
}

int main(int argc, char *argv[])
{
    if (argc != 3 && argc != 4)
        return fail("usage: framecount WINDOW REFRESHES [HZ]");
    const xcb_window_t window = xcb_window_t(std::strtoul(argv[1], nullptr, 0));
    const int refreshes = std::atoi(argv[2]);
    const double clockHz = argc == 4 ? std::atof(argv[3]) : 0;
    xcb_connection_t *connection = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(connection))
        return fail("cannot connect to the X server");
    const xcb_query_extension_reply_t *damageExtension
        = xcb_get_extension_data(connection, &xcb_damage_id);
    const xcb_query_extension_reply_t *presentExtension
        = xcb_get_extension_data(connection, &xcb_present_id);
    if (!damageExtension->present)
        return fail("the X server lacks Damage");
    const bool onClock = !presentExtension->present;
    if (onClock && clockHz <= 0)
        return fail("the X server lacks Present, and no HZ to count refreshes at");
    std::free(xcb_damage_query_version_reply(connection, xcb_damage_query_version(connection, 1, 1),
                                             nullptr));

    // Every change to the window makes its damage non-empty once; subtracting it re-arms.
    const xcb_damage_damage_t damage = xcb_generate_id(connection);
    xcb_damage_create(connection, damage, window, XCB_DAMAGE_REPORT_LEVEL_NON_EMPTY);
    if (onClock) { // creating the damage reports the whole window: counting starts past that
        std::free(xcb_get_input_focus_reply(connection, xcb_get_input_focus(connection), nullptr));
        while (xcb_generic_event_t *event = xcb_poll_for_event(connection))
            std::free(event);
        xcb_damage_subtract(connection, damage, XCB_NONE, XCB_NONE);
    } else {
        const uint32_t eventId = xcb_generate_id(connection);
        xcb_present_select_input(connection, eventId, window,
                                 XCB_PRESENT_EVENT_MASK_COMPLETE_NOTIFY);
        xcb_present_notify_msc(connection, window, startSerial, 0, 0, 0); // the refresh now
    }
    xcb_flush(connection);

    int frames = 0;
    bool counting = onClock; // with Present, from the first refresh reported
    uint64_t firstMsc = 0, firstUst = 0;
    const auto end = std::chrono::steady_clock::now()
        + std::chrono::duration<double>(refreshes / std::max(clockHz, 1e-9));
    pollfd socket {xcb_get_file_descriptor(connection), POLLIN, 0};
    for (;;) {
        int waitMs = 10000;
        if (onClock) {
            const auto left = end - std::chrono::steady_clock::now();
            if (left <= left.zero()) {
                std::printf("frames %d refreshes %d hz %.1f\n", frames, refreshes, clockHz);
                return 0;
            }
            waitMs = int(std::chrono::ceil<std::chrono::milliseconds>(left).count());
        }
        if (poll(&socket, 1, waitMs) < 0 || (!onClock && !(socket.revents & POLLIN)))
            break;
        while (xcb_generic_event_t *event = xcb_poll_for_event(connection)) {
            const uint8_t type = event->response_type & 0x7f;
            const auto *complete = reinterpret_cast<xcb_present_complete_notify_event_t *>(event);
            if (type == damageExtension->first_event + XCB_DAMAGE_NOTIFY) {
                xcb_damage_subtract(connection, damage, XCB_NONE, XCB_NONE);
                frames += counting;
            } else if (type == XCB_GE_GENERIC
                       && complete->extension == presentExtension->major_opcode
                       && complete->event_type == XCB_PRESENT_COMPLETE_NOTIFY) {
                if (complete->serial == startSerial) { // counting starts; ask for the last refresh
                    counting = true;
                    firstMsc = complete->msc;
                    firstUst = complete->ust;
                    xcb_present_notify_msc(connection, window, endSerial, firstMsc + refreshes, 0,
                                           0);
                } else if (complete->serial == endSerial) {
                    const uint64_t counted = complete->msc - firstMsc;
                    std::printf("frames %d refreshes %llu hz %.1f\n", frames,
                                (unsigned long long)counted,
                                counted * 1e6 / double(complete->ust - firstUst));
                    return 0;
                }
            } else if (type == 0) {
                return fail("the window is gone");
            }
            std::free(event);
        }
        xcb_flush(connection);
        if (xcb_connection_has_error(connection))
            return fail("the connection to the X server broke");
    }
    return fail("no refresh reported within 10 s");
}
