// Preloaded into a program (LD_PRELOAD), hides the X server's Present extension from it: xcb
// answers that the extension is missing, as an X server without it does. Debian's X servers all
// have Present built in and keep it (Xvfb ignores "-extension Present"), so this stands in for
// one without it.

#include <xcb/xcb.h>
#include <xcb/xcbext.h>

#include <dlfcn.h>

#include <cstring>

extern "C" const xcb_query_extension_reply_t *xcb_get_extension_data(xcb_connection_t *connection,
                                                                     xcb_extension_t *extension)
{
    static const xcb_query_extension_reply_t missing {}; // present: 0
    if (std::strcmp(extension->name, "Present") == 0)
        return &missing;
    using Real = const xcb_query_extension_reply_t *(*)(xcb_connection_t *, xcb_extension_t *);
    static const auto real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "xcb_get_extension_data"));
    return real(connection, extension);
}
