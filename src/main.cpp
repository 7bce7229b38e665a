#include "window.h"

#include <QCursor>
#include <QGuiApplication>
#include <QScreen>

int main(int argc, char *argv[])
{
    QGuiApplication app(argc, argv);
    QGuiApplication::setOverrideCursor(QCursor(Qt::BlankCursor));

    Window window;
    // Without a window manager, showFullScreen() alone keeps the default size; give the window
    // its screen's geometry first so that it covers the screen everywhere.
    window.setGeometry(window.screen()->geometry());
    window.showFullScreen();
    return app.exec();
}
