#include "window.h"

#include <QCursor>
#include <QGuiApplication>
#include <QPixmap>

int main(int argc, char *argv[])
{
    requestImmediateRepaints();
    QGuiApplication app(argc, argv);
    QGuiApplication::setOverrideCursor(QCursor(Qt::BlankCursor));

    Window window;
    // The override cursor hides the pointer on X11. Whenever the pointer enters the window, Qt's
    // Wayland platform sets the window's own cursor instead, and for Qt::BlankCursor it sets none
    // at all, which leaves the compositor's arrow: there a cursor of one clear pixel hides it.
    QPixmap transparentPixel(1, 1);
    transparentPixel.fill(Qt::transparent);
    window.setCursor(QCursor(transparentPixel, 0, 0));
    window.showCoveringScreen();
    return app.exec();
}
