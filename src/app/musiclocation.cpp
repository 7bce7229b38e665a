#include "musiclocation.h"

#include <QDir>
#include <QFileInfo>

QStringList musicPlaces()
{
    // The program's folder, also before the application object exists.
    const QString programDir = QFileInfo(QStringLiteral("/proc/self/exe")).canonicalPath();
    QStringList places {QDir::current().absoluteFilePath(QStringLiteral("music.raw")),
                        QDir::cleanPath(programDir + "/" MINCER_INSTALLED_MUSIC)};
    if (QFileInfo(programDir) == QFileInfo(QStringLiteral(MINCER_BUILD_DIR)))
        places.append(QDir::cleanPath(programDir + "/music.raw"));
    return places;
}

QString findMusic(const QString &given, const QString &program, QString *error)
{
    if (!given.isEmpty())
        return given;
    const QStringList places = musicPlaces();
    for (const QString &place : places) {
        if (QFileInfo::exists(place))
            return place;
    }
    *error = QStringLiteral("no music to play: none at %1; name a song: %2 FILE")
                 .arg(places.join(QStringLiteral(", ")), program);
    return QString();
}
