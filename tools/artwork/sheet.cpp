#include "artwork.h"
#include "scenekit.h"

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
    // Rows of (image index, scale), laid out left to right with even gaps.
    struct Cell
    {
        int index;
        double scale;
    };
    const QList<QList<Cell>> rows = {
        {{0, 0.45}, {1, 0.5}},
        {{4, 0.4}, {5, 0.4}, {6, 0.4}, {7, 0.4}, {8, 0.4}, {9, 0.4}},
        {{2, 0.8}, {3, 0.8}, {10, 1.0}},
    };
    const int width = 1920, titleHeight = 90, labelHeight = 44, rowGap = 28;
    int height = titleHeight;
    for (const QList<Cell> &row : rows) {
        double tallest = 0;
        for (const Cell &cell : row)
            tallest = qMax(tallest, artworks.value(cell.index).image.height() * cell.scale);
        height += int(tallest) + labelHeight + rowGap;
    }

    QImage sheet(width, height, QImage::Format_ARGB32_Premultiplied);
    sheet.fill(QColor("#1c2119"));
    QPainter painter(&sheet);
    painter.setRenderHints(QPainter::Antialiasing | QPainter::SmoothPixmapTransform
                           | QPainter::TextAntialiasing);
    QFont titleFont(QStringLiteral("DejaVu Sans"));
    titleFont.setPixelSize(40);
    titleFont.setBold(true);
    QFont labelFont(QStringLiteral("DejaVu Sans"));
    labelFont.setPixelSize(22);
    painter.setFont(titleFont);
    painter.setPen(QColor("#f2ead8"));
    painter.drawText(QRectF(32, 0, width - 64, titleHeight), Qt::AlignLeft | Qt::AlignVCenter,
                     QStringLiteral("mincer: the eleven images"));
    painter.setFont(labelFont);
    painter.setPen(QColor("#a9b49c"));
    painter.drawText(QRectF(32, 0, width - 64, titleHeight), Qt::AlignRight | Qt::AlignVCenter,
                     QStringLiteral("on the scenes' fill colour; the checks show transparency"));

    int top = titleHeight;
    for (const QList<Cell> &row : rows) {
        double used = 0, tallest = 0;
        for (const Cell &cell : row) {
            const QImage &image = artworks.value(cell.index).image;
            used += image.width() * cell.scale;
            tallest = qMax(tallest, image.height() * cell.scale);
        }
        const double gap = (width - used) / (row.size() + 1);
        double left = gap;
        for (const Cell &cell : row) {
            const Artwork &artwork = artworks.value(cell.index);
            const QRectF box(qRound(left), top, qRound(artwork.image.width() * cell.scale),
                             qRound(artwork.image.height() * cell.scale));
            // The scenes' fill colour in a faint check, so that transparent parts show.
            painter.fillRect(box, sceneColour());
            painter.save();
            painter.setClipRect(box);
            for (int y = 0; y * 16 < box.height(); ++y)
                for (int x = (y % 2); x * 16 < box.width(); x += 2)
                    painter.fillRect(QRectF(box.left() + x * 16, box.top() + y * 16, 16, 16),
                                     QColor("#363f31"));
            painter.restore();
            painter.drawImage(box, artwork.image);
            painter.setPen(QPen(QColor("#56604c"), 1));
            painter.setBrush(Qt::NoBrush);
            painter.drawRect(box.adjusted(-0.5, -0.5, 0.5, 0.5));
            painter.setPen(QColor("#f2ead8"));
            painter.drawText(
                QRectF(box.left() - gap / 2, box.bottom() + 6, box.width() + gap, labelHeight - 8),
                Qt::AlignHCenter | Qt::AlignTop,
                QStringLiteral("%1  %2 \u00d7 %3")
                    .arg(artwork.name)
                    .arg(artwork.image.width())
                    .arg(artwork.image.height()));
            left += box.width() + gap;
        }
        top += int(tallest) + labelHeight + rowGap;
    }
    return sheet;
}
