#ifndef FOREST_H
#define FOREST_H

#include "instruction.h"
#include "window.h"

#include <QColor>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QTransform>

#include <algorithm>
#include <cmath>

// The first scene: the character behind the tree row hops, rises twice and waves; then the whole
// picture spins, shrinks and fades out. Finishes once faded out, at 31701 ms.
class Forest : public Instruction
{
public:
    Forest()
        : background(QStringLiteral(":/resources/background")),
          foreground(QStringLiteral(":/resources/foreground")),
          muumi1(QStringLiteral(":/resources/muumi1")),
          muumi2(QStringLiteral(":/resources/muumi2"))
    {
        // The background over the fill colour: what the screen shows of it at full opacity,
        // composed with the painter's blend on the window's format, but opaque, so that drawing
        // it is a copy. The finale's copy keeps the background's format: the painter samples
        // turned images of other formats at slightly different points.
        if (!background.isNull()) {
            still.backdrop = QImage(background.size(), QImage::Format_RGB32);
            still.backdrop.fill(sceneColour());
            QPainter painter(&still.backdrop);
            painter.drawImage(0, 0, background);
            painter.end();
            backdrop = still.backdrop.convertToFormat(QImage::Format_ARGB32);
        }
        // Unturned, premultiplied images give the same pixels and blend and scale faster.
        still.foreground = foreground.convertToFormat(QImage::Format_ARGB32_Premultiplied);
        still.muumi1 = muumi1.convertToFormat(QImage::Format_ARGB32_Premultiplied);
        still.muumi2 = muumi2.convertToFormat(QImage::Format_ARGB32_Premultiplied);
        // The scenery: the backdrop with the tree row over it, on a canvas that holds both.
        still.sceneryRect = backgroundRect() | QRect(foregroundPosition(), foreground.size());
        if (!still.sceneryRect.isEmpty()) {
            still.scenery = QImage(still.sceneryRect.size(), QImage::Format_RGB32);
            still.scenery.fill(sceneColour());
            QPainter painter(&still.scenery);
            painter.translate(-still.sceneryRect.topLeft());
            painter.drawImage(backgroundRect().topLeft(), background);
            painter.drawImage(foregroundPosition(), foreground);
        }
    }

    bool draw(long t, QPainter &painter) override
    {
        const QSize viewport = logicalViewportSize(painter);
        const int w = viewport.width();
        const int h = viewport.height();
        const QColor fill = sceneColour();

        const QImage &muumi = t - 12000 > 11000 ? muumi2 : muumi1;
        const QRect character(-(muumi.width() / 2), muumiTop(t), muumi.width(), muumi.height());
        const float k = float(t - 23500) / 200.0f;

        if (k <= 0) {
            // Before the finale the picture stands still: the scenery gives every pixel but the
            // character's rectangle, which is then painted layer by layer (fill, background,
            // character, tree row) within that rectangle. The fill is only needed where the
            // scenery does not reach.
            if (!still.sceneryRect.contains(QRect(-(w / 2), -(h / 2), w, h)))
                painter.fillRect(QRect(0, 0, w, h), fill);
            painter.translate(w / 2, h / 2);
            painter.drawImage(still.sceneryRect.topLeft(), still.scenery);
            painter.setClipRect(character);
            painter.fillRect(character, fill);
            painter.drawImage(backgroundRect().topLeft(), still.backdrop);
            painter.drawImage(character.topLeft(), t - 12000 > 11000 ? still.muumi2 : still.muumi1);
            painter.drawImage(foregroundPosition(), still.foreground);
            return true;
        }

        // The finale from 23500 ms: spin by k² degrees, shrink by 1/k once k > 1 (after 23700 ms),
        // fade out from 30700 to 31700 ms.
        const float inverse = 1.0f / k;
        const float scale = inverse <= 1.0f ? inverse : 1.0f;
        const float opacity = 1.0f - (float(t - 12000) - 18700.0f) / 1000.0f;
        QTransform turn;
        turn.translate(w / 2, h / 2);
        turn.rotate(k * k);
        turn.scale(scale, scale);

        if (opacity < 1 || backdrop.isNull()) {
            painter.fillRect(QRect(0, 0, w, h), fill);
            painter.setTransform(turn);
            painter.setOpacity(opacity);
            painter.drawImage(backgroundRect().topLeft(), background);
            painter.drawImage(character.topLeft(), muumi);
            painter.drawImage(foregroundPosition(), foreground);
            return opacity >= 0;
        }

        // Until the fade the opaque backdrop stands for the background over the fill. So the
        // fill is only needed outside it: outside its rectangle shrunk by 2 screen pixels, so
        // that no pixel along its edge is missed.
        const qreal margin = 2 / scale; // px of the images for 2 px on the screen
        QPainterPath uncovered;
        uncovered.addRect(QRect(0, 0, w, h));
        const QRectF inner = QRectF(backgroundRect()).adjusted(margin, margin, -margin, -margin);
        if (inner.isValid())
            uncovered.addPolygon(turn.map(QPolygonF(inner)));
        painter.fillPath(uncovered, fill);
        painter.setTransform(turn);
        painter.drawImage(backgroundRect().topLeft(), backdrop);
        painter.drawImage(character.topLeft(), muumi);
        painter.drawImage(foregroundPosition(), foreground);
        return true;
    }

    // Top edge of the character (px from the centre) at scene time t (ms): at rest 350, a 100 px
    // hop from 14000 to 14999 ms, then two rises of 150 px over 150 ms at 18000 and 22500 ms.
    static int muumiTop(qint64 t)
    {
        const qint64 u = t - 12000;
        if (u <= 1999)
            return 350;
        if (u <= 2999)
            return 350 - int(createFade(t - 14000, 1000, 250, 250) * 100.0f);
        if (u <= 5999)
            return 350;
        if (u <= 10499)
            return 350 - int(std::min<qint64>(t - 18000, 150));
        return 350 - int(std::min<qint64>(t - 22500, 150) + 150);
    }

private:
    friend class TestForest;

    // Where the background and the tree row go, centred horizontally on the origin.
    QRect backgroundRect() const
    {
        return QRect(-(background.width() / 2), -(background.height() / 2), background.width(),
                     background.height());
    }
    QPoint foregroundPosition() const { return QPoint(-(foreground.width() / 2), -80); }

    QImage background;
    QImage foreground;
    QImage muumi1;
    QImage muumi2;
    QImage backdrop; // the background over the fill colour, for the finale

    // What the frames before the finale draw: opaque or premultiplied copies.
    struct Still
    {
        QImage backdrop; // the background over the fill colour
        QImage scenery; // the backdrop with the tree row over it, covering sceneryRect
        QRect sceneryRect;
        QImage foreground, muumi1, muumi2;
    } still;
};

#endif // FOREST_H
