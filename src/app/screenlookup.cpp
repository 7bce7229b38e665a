#include "screenlookup.h"

#include <QGuiApplication>
#include <QScreen>

QString screenList()
{
    QString list;
    const QList<QScreen *> screens = QGuiApplication::screens();
    for (int i = 0; i < screens.size(); ++i) {
        const QScreen *screen = screens.at(i);
        const QSize size = screen->size();
        list += QStringLiteral("%1  %2  %3x%4  %5 Hz%6\n")
                    .arg(i)
                    .arg(screen->name(), -12)
                    .arg(size.width())
                    .arg(size.height())
                    .arg(screen->refreshRate(), 0, 'f', 2)
                    .arg(screen == QGuiApplication::primaryScreen() ? QStringLiteral("  (default)")
                                                                    : QString());
    }
    return list;
}

QScreen *findScreen(const QString &nameOrNumber)
{
    const QList<QScreen *> screens = QGuiApplication::screens();
    for (QScreen *screen : screens) {
        if (screen->name() == nameOrNumber)
            return screen;
    }
    bool isNumber = false;
    const int number = nameOrNumber.toInt(&isNumber);
    return isNumber && number >= 0 && number < screens.size() ? screens.at(number) : nullptr;
}
