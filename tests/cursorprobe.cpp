// Tells whether the cursor the X server shows right now has any visible pixel.
// Exit status: 0 blank, 1 visible, 2 no display or no cursor image.

#include <X11/Xlib.h>
#include <X11/extensions/Xfixes.h>

#include <cstdio>

int main()
{
    Display *display = XOpenDisplay(nullptr);
    if (!display) {
        std::fprintf(stderr, "cursorprobe: cannot open the display\n");
        return 2;
    }
    XFixesCursorImage *image = XFixesGetCursorImage(display);
    if (!image) {
        std::fprintf(stderr, "cursorprobe: no cursor image\n");
        XCloseDisplay(display);
        return 2;
    }
    bool visible = false;
    for (int i = 0; i < image->width * image->height; ++i)
        visible = visible || (image->pixels[i] >> 24) != 0; // alpha of 32-bit ARGB
    std::printf("%s %dx%d\n", visible ? "visible" : "blank", image->width, image->height);
    XFree(image);
    XCloseDisplay(display);
    return visible ? 1 : 0;
}
