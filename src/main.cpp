#include "window.h"

#include <QCursor>
#include <QGuiApplication>

int main(int argc, char *argv[])
{
    requestImmediateRepaints();
    QGuiApplication app(argc, argv);
    QGuiApplication::setOverrideCursor(QCursor(Qt::BlankCursor));

    Window window;
    window.showCoveringScreen();
    return app.exec();
}
