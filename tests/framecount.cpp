// Counts the frames a window shows over a number of its display's refreshes: the times its
// contents change (Damage) between two refreshes that the X server reports (Present).
// Usage: framecount WINDOW REFRESHES
// Prints "frames F refreshes R hz H" and exits 0; 1 with a message when it cannot count.

#include <xcb/damage.h>
#include <xcb/present.h>
#include <xcb/xcb.h>

#include <poll.h>

#include <cstdio>
#include <cstdlib>

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
    if (argc != 3)
        return fail("usage: framecount WINDOW REFRESHES");
    const xcb_window_t window = xcb_window_t(std::strtoul(argv[1], nullptr, 0));
    const int refreshes = std::atoi(argv[2]);
    xcb_connection_t *connection = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(connection))
        return fail("cannot connect to the X server");
    const xcb_query_extension_reply_t *damageExtension
        = xcb_get_extension_data(connection, &xcb_damage_id);
    const xcb_query_extension_reply_t *presentExtension
        = xcb_get_extension_data(connection, &xcb_present_id);
    if (!damageExtension->present || !presentExtension->present)
        return fail("the X server lacks Damage or Present");
    std::free(xcb_damage_query_version_reply(connection, xcb_damage_query_version(connection, 1, 1),
                                             nullptr));

    // Every change to the window makes its damage non-empty once; subtracting it re-arms.
    const xcb_damage_damage_t damage = xcb_generate_id(connection);
    xcb_damage_create(connection, damage, window, XCB_DAMAGE_REPORT_LEVEL_NON_EMPTY);
    const uint32_t eventId = xcb_generate_id(connection);
    xcb_present_select_input(connection, eventId, window, XCB_PRESENT_EVENT_MASK_COMPLETE_NOTIFY);
    xcb_present_notify_msc(connection, window, startSerial, 0, 0, 0); // the refresh now
    xcb_flush(connection);

    int frames = 0;
    uint64_t firstMsc = 0, firstUst = 0;
    pollfd socket {xcb_get_file_descriptor(connection), POLLIN, 0};
    while (poll(&socket, 1, 10000) > 0) {
        while (xcb_generic_event_t *event = xcb_poll_for_event(connection)) {
            const uint8_t type = event->response_type & 0x7f;
            const auto *complete = reinterpret_cast<xcb_present_complete_notify_event_t *>(event);
            if (type == damageExtension->first_event + XCB_DAMAGE_NOTIFY) {
                xcb_damage_subtract(connection, damage, XCB_NONE, XCB_NONE);
                frames += firstMsc != 0;
            } else if (type == XCB_GE_GENERIC
                       && complete->extension == presentExtension->major_opcode
                       && complete->event_type == XCB_PRESENT_COMPLETE_NOTIFY) {
                if (complete->serial == startSerial) { // counting starts; ask for the last refresh
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
