#ifndef FOREST_H
#define FOREST_H

#include "instruction.h"
#include "window.h"

#include <QColor>
#include <QImage>
#include <QPainter>

#include <algorithm>

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
    { }

    bool draw(long t, QPainter &painter) override
    {
        // The viewport is in device pixels; the painter draws in logical ones (they differ on a
        // scaled screen, e.g. QT_SCALE_FACTOR=2), and the origin belongs at the logical centre.
        const qreal ratio = painter.device()->devicePixelRatioF();
        const int w = qRound(painter.viewport().width() / ratio);
        const int h = qRound(painter.viewport().height() / ratio);
        QColor fill;
        fill.setNamedColor(QStringLiteral("#30392c"));
        painter.fillRect(QRect(0, 0, w, h), fill);
        painter.translate(w / 2, h / 2);

        // The finale from 23500 ms: spin by k² degrees, shrink by 1/k once k > 1 (after 23700 ms),
        // fade out from 30700 to 31700 ms.
        bool running = true;
        const float k = float(t - 23500) / 200.0f;
        if (k > 0) {
            painter.rotate(k * k);
            const float inverse = 1.0f / k;
            const float scale = inverse <= 1.0f ? inverse : 1.0f;
            painter.scale(scale, scale);
            const float opacity = 1.0f - (float(t - 12000) - 18700.0f) / 1000.0f;
            painter.setOpacity(opacity);
            running = opacity >= 0;
        }

        const QImage &muumi = t - 12000 > 11000 ? muumi2 : muumi1;
        painter.drawImage(QPointF(-(background.width() / 2), -(background.height() / 2)),
                          background);
        painter.drawImage(QPointF(-(muumi.width() / 2), muumiTop(t)), muumi);
        painter.drawImage(QPointF(-(foreground.width() / 2), -80), foreground);
        return running;
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

    QImage background;
    QImage foreground;
    QImage muumi1;
    QImage muumi2;
    QImage backdrop;
};

#endif // FOREST_H
