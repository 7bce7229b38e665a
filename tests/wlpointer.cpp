// wlpointer: gives a Wayland compositor without input devices a pointer, through wlroots' virtual
// pointer protocol, and moves it. The pointer exists while the program runs. It reads lines
// "X Y WIDTH HEIGHT" from standard input and moves the pointer to X, Y of an area WIDTH × HEIGHT
// that the compositor maps onto its outputs; it prints "ok" once the compositor has handled each
// move, and ends at the end of its input.
//   wlpointer    (with WAYLAND_DISPLAY set)

#include "wlr-virtual-pointer-unstable-v1-client-protocol.h"

#include <wayland-client.h>

#include <cstdio>
#include <cstring>

namespace {

struct Globals
{
    wl_seat *seat = nullptr;
    zwlr_virtual_pointer_manager_v1 *manager = nullptr;
};

void addGlobal(void *data, wl_registry *registry, uint32_t name, const char *interface,
               uint32_t version)
{
    auto *globals = static_cast<Globals *>(data);
    if (std::strcmp(interface, wl_seat_interface.name) == 0 && !globals->seat) {
        globals->seat
            = static_cast<wl_seat *>(wl_registry_bind(registry, name, &wl_seat_interface, 1));
    } else if (std::strcmp(interface, zwlr_virtual_pointer_manager_v1_interface.name) == 0) {
        globals->manager = static_cast<zwlr_virtual_pointer_manager_v1 *>(wl_registry_bind(
            registry, name, &zwlr_virtual_pointer_manager_v1_interface, version < 2 ? version : 2));
    }
}

void removeGlobal(void *, wl_registry *, uint32_t) { }

const wl_registry_listener registryListener = {addGlobal, removeGlobal};

} // namespace

int main()
{
    wl_display *display = wl_display_connect(nullptr);
    if (!display) {
        std::fprintf(stderr, "wlpointer: cannot connect to the Wayland display\n");
        return 2;
    }
    Globals globals;
    wl_registry *registry = wl_display_get_registry(display);
    wl_registry_add_listener(registry, &registryListener, &globals);
    wl_display_roundtrip(display);
    if (!globals.manager) {
        std::fprintf(stderr, "wlpointer: the compositor has no virtual pointers\n");
        wl_display_disconnect(display);
        return 2;
    }
    zwlr_virtual_pointer_v1 *pointer
        = zwlr_virtual_pointer_manager_v1_create_virtual_pointer(globals.manager, globals.seat);
    wl_display_roundtrip(display);
    std::printf("ok\n");
    std::fflush(stdout);

    unsigned x, y, width, height;
    uint32_t timeMs = 0;
    while (std::scanf("%u %u %u %u", &x, &y, &width, &height) == 4) {
        zwlr_virtual_pointer_v1_motion_absolute(pointer, timeMs += 10, x, y, width, height);
        zwlr_virtual_pointer_v1_frame(pointer);
        if (wl_display_roundtrip(display) < 0)
            break;
        std::printf("ok\n");
        std::fflush(stdout);
    }
    const bool connected = wl_display_get_error(display) == 0;
    zwlr_virtual_pointer_v1_destroy(pointer);
    zwlr_virtual_pointer_manager_v1_destroy(globals.manager);
    wl_display_disconnect(display);
    if (!connected)
        std::fprintf(stderr, "wlpointer: the compositor closed the connection\n");
    return connected ? 0 : 1;
}
