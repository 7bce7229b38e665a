#ifndef SCREENLOOKUP_H
#define SCREENLOOKUP_H

#include <QString>

class QScreen;

// The screens as --list-screens shows them: number, name, size and refresh rate, the primary
// screen marked as the default.
QString screenList();
// The screen that `nameOrNumber` names, or null.
QScreen *findScreen(const QString &nameOrNumber);

#endif // SCREENLOOKUP_H
