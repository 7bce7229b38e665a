#include "utf8locale.h"

#include <QByteArray>
#include <QtGlobal>

#include <clocale>

#include <langinfo.h>

void takeUtf8Locale()
{
    std::setlocale(LC_ALL, "");
    const char *codeset = nl_langinfo(CODESET);
    if (qstricmp(codeset, "UTF-8") == 0 || qstricmp(codeset, "utf8") == 0)
        return;
    // The language without its encoding or variant (de_DE.ISO-8859-1, de_DE@euro: de_DE).
    QByteArray language = std::setlocale(LC_CTYPE, nullptr);
    language.truncate(language.indexOf('.') < 0 ? language.size() : language.indexOf('.'));
    language.truncate(language.indexOf('@') < 0 ? language.size() : language.indexOf('@'));
    for (const QByteArray &name :
         {language + ".UTF-8", QByteArray("C.UTF-8"), QByteArray("C.utf8")}) {
        if (std::setlocale(LC_CTYPE, name.constData())) {
            // LC_ALL, where it is set, stands above LC_CTYPE.
            qputenv(qEnvironmentVariableIsEmpty("LC_ALL") ? "LC_CTYPE" : "LC_ALL", name);
            return;
        }
    }
}
