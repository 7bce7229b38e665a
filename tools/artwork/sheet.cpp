#include "artwork.h"

#include <QFont>
#include <QPainter>

QList<Artwork> paintAll()
{
    QList<Artwork> artworks;
    artworks.append({QStringLiteral("background"), paintBackground()});
    artworks.append({QStringLiteral("foreground"), paintForeground()});
    artworks.append({QStringLiteral("muumi1"), paintCharacter(false)});
    artworks.append({QStringLiteral("muumi2"), paintCharacter(true)});
    for (int frame = 0; frame < 6; ++frame)
        artworks.append({QStringLiteral("mince%1").arg(frame + 1), paintGrinder(frame)});
    artworks.append({QStringLiteral("raejuusto"), paintCheeseTub()});
    return artworks;
}

QImage paintContactSheet(const QList<Artwork> &artworks)
{
    Q_UNUSED(artworks);
    return newCanvas(16, 16);
}
