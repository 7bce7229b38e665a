#ifndef MINCE_H
#define MINCE_H

#include "instruction.h"

#include <QColor>
#include <QFont>
#include <QImage>
#include <QList>
#include <QPainter>
#include <QString>
#include <QTransform>

#include <algorithm>
#include <cmath>

// The second scene: a meat grinder swallows a falling character once a second and lets out a wavy
// train of small ones, while a cheese tub trailing a caption crosses the screen every 5 s. It never
// finishes.
class Mince : public Instruction
{
public:
    Mince()
        : muumi(QStringLiteral(":/resources/muumi1")),
          raejuusto(QStringLiteral(":/resources/raejuusto"))
    {
        for (int i = 1; i <= 6; ++i)
            frames.append(QImage(QStringLiteral(":/resources/mince%1").arg(i)));
        // Premultiplied copies: the painter premultiplies every pixel it draws anyway, so the
        // pixels are the same, but it blends these faster, above all when it scales them for a
        // high-resolution screen.
        muumi = muumi.convertToFormat(QImage::Format_ARGB32_Premultiplied);
        raejuusto = raejuusto.convertToFormat(QImage::Format_ARGB32_Premultiplied);
        for (QImage &frame : frames)
            frame = frame.convertToFormat(QImage::Format_ARGB32_Premultiplied);
        texts << QStringLiteral("Greetings to Vornakel")
              << QStringLiteral("Greetings to Trundlefax")
              << QStringLiteral("Greetings to Ploverstam")
              << QStringLiteral("Greetings to Zebrinmok")
              << QStringLiteral("Greetings to Kestrovane")
              << QStringLiteral("Thanks for stealing our chairs") << QString();
    }

    bool draw(long t, QPainter &painter) override
    {
        const QSize viewport = logicalViewportSize(painter);
        const int w = viewport.width();
        const int h = viewport.height();
        const QColor fill = sceneColour();
        painter.fillRect(QRect(0, 0, w, h), fill);
        painter.translate(w / 2, h / 2);

        const QImage &frame = frames.at(frameIndex(t));

        // The big character falls upside down at 1 px/ms, starting over at the top every second.
        const QImage falling
            = muumi.mirrored(false, true).scaledToWidth(230, Qt::FastTransformation);
        painter.drawImage(QPointF(-455, int(t % 1000) - h), falling);

        // The train: thirty small characters on their side, each 150 ms behind the one before,
        // running right at 1 px/ms from x = -150 to 849, in three strands of fixed heights.
        const QImage small = muumi.scaledToWidth(50, Qt::FastTransformation)
                                 .transformed(QTransform().rotate(90), Qt::FastTransformation);
        for (int i = 0; i < 30; ++i) {
            const qint64 m = t - 150 * i;
            const int x = int(std::max<qint64>(m, 0) % 1000) - 150;
            const double g = std::sin(float(i) / 15.0f);
            const int y = int(g * (i % 3) * 70.0) - 130;
            painter.drawImage(QPointF(x, y), small);
        }

        // The grinder's body hides what falls into the hopper and what has not left the outlet.
        painter.fillRect(QRect(-(w / 2), -180, w / 2 - 40, h), fill);
        painter.drawImage(QPointF(-frame.width(), -(frame.height() / 2)), frame);

        // The cheese tub crosses right to left at 1 px/ms every 5 s, the caption 20 px behind it.
        const int cheeseX = w - int(t % 5000);
        painter.drawImage(QPointF(cheeseX, 200), raejuusto);
        QFont font;
        font.setPixelSize(100);
        painter.setFont(font);
        painter.setPen(Qt::white);
        painter.drawText(QPointF(cheeseX + raejuusto.width() + 20, 400), texts.at(captionIndex(t)));
        return true;
    }

    // Grinder frame at scene time t (ms): 100 ms per frame, the crank swinging through frames
    // 0..5..0 every 1100 ms. Before -99 ms the remainder is negative; it is taken modulo 11 as
    // well, so the crank keeps swinging when time runs backwards.
    static int frameIndex(qint64 t)
    {
        qint64 q = (t / 100) % 11;
        if (q < 0)
            q += 11;
        return int(q <= 5 ? q : 10 - q);
    }

    // Caption at scene time t (ms): a new one every 5 s. Before -4999 ms the first caption stays
    // (as from -4999 to -1 ms); from 35000 ms on, the last one, which is empty.
    static int captionIndex(qint64 t) { return int(std::clamp<qint64>(t / 5000, 0, 6)); }

private:
    friend class TestMince;

    QImage muumi;
    QImage raejuusto;
    QList<QImage> frames;
    QList<QString> texts;
};

#endif // MINCE_H
