// mincer-icon: paints the desktop icon from the images compiled into the demo: the standing
// character on the scenes' background colour.

#include "scenekit.h"

#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QSaveFile>

#include <cstdio>

int main(int argc, char *argv[])
{
    // Images and a painter on an image need no application object, so no display either.
    if (argc != 2) {
        std::fprintf(stderr, "usage: mincer-icon OUT.png\n");
        return 2;
    }

    const int sidePx = 256;
    const int cornerRadiusPx = 40;
    const int marginPx = 16; // around the character
    QImage icon(sidePx, sidePx, QImage::Format_ARGB32_Premultiplied);
    icon.fill(Qt::transparent);
    QPainter painter(&icon);
    painter.setRenderHints(QPainter::Antialiasing | QPainter::SmoothPixmapTransform);
    QPainterPath tile;
    tile.addRoundedRect(0, 0, sidePx, sidePx, cornerRadiusPx, cornerRadiusPx);
    painter.fillPath(tile, sceneColour());

    const QImage character(QStringLiteral(":/resources/muumi1"));
    if (character.isNull()) {
        std::fprintf(stderr, "mincer-icon: the character image is missing\n");
        return 1;
    }
    const QImage scaled = character.scaled(sidePx - 2 * marginPx, sidePx - 2 * marginPx,
                                           Qt::KeepAspectRatio, Qt::SmoothTransformation);
    painter.setClipPath(tile);
    painter.drawImage((sidePx - scaled.width()) / 2, (sidePx - scaled.height()) / 2, scaled);
    painter.end();

    QSaveFile file(QString::fromLocal8Bit(argv[1]));
    if (!file.open(QIODevice::WriteOnly) || !icon.save(&file, "PNG") || !file.commit()) {
        std::fprintf(stderr, "mincer-icon: cannot write %s: %s\n", argv[1],
                     qPrintable(file.errorString()));
        return 1;
    }
    return 0;
}
