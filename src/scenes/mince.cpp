#include "mince.h"

#include <QFont>
#include <QPainter>
#include <QPainterPath>
#include <QTransform>

#include <cmath>

Mince::Mince()
    : muumi(QStringLiteral(":/resources/muumi1")),
      raejuusto(QStringLiteral(":/resources/raejuusto"))
{
    for (int i = 1; i <= 6; ++i)
        frames.append(QImage(QStringLiteral(":/resources/mince%1").arg(i)));
    // Premultiplied copies: the painter premultiplies every pixel it draws anyway, so the
    // pixels are the same, but it blends these faster, above all when it scales them. The
    // character is premultiplied once scaled: Qt 6.8 samples a premultiplied image a pixel apart
    // from the image as loaded when it scales it fast.
    raejuusto = raejuusto.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    for (QImage &frame : frames)
        frame = frame.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    for (int i = 0; i + 1 < frames.size(); ++i)
        crankSteps.append(differingRect(frames.at(i), grinderPosition(i), frames.at(i + 1),
                                        grinderPosition(i + 1)));
    texts << QStringLiteral("Greetings to Vornakel") << QStringLiteral("Greetings to Trundlefax")
          << QStringLiteral("Greetings to Ploverstam") << QStringLiteral("Greetings to Zebrinmok")
          << QStringLiteral("Greetings to Kestrovane")
          << QStringLiteral("Thanks for stealing our chairs") << QString();
    Q_ASSERT(texts.size() == captionCount);
    scaled.one = copiesAt(1);
}

bool Mince::draw(long t, QPainter &painter)
{
    const QSize viewport = logicalViewportSize(painter);
    const int w = viewport.width();
    const int h = viewport.height();
    const QColor fill = sceneColour();
    painter.fillRect(QRect(0, 0, w, h), fill);
    painter.translate(w / 2, h / 2);

    const qreal scale = deviceScale(painter);
    const Copies &copies = scaled.forPainter(painter);
    const CopyScale &at = copies.scale;
    at.enter(painter);

    // The big character falls upside down at 1 px/ms, starting over at the top every second.
    painter.drawImage(at.at(fallingPosition(t, h)), copies.falling);

    // The train of small characters on their side.
    for (int i = 0; i < trainLength; ++i)
        painter.drawImage(at.at(trainPosition(t, i)), copies.small);

    // The grinder's body hides what falls into the hopper and what has not left the outlet.
    painter.fillRect(at.rect(QRect(-(w / 2), stripTopPx, w / 2 + stripRightPx, h)), fill);
    const int frame = frameIndex(t);
    painter.drawImage(at.at(grinderPosition(frame)), copies.frames.at(frame));

    // The cheese tub, and its caption behind it.
    const QPoint tub = tubPosition(t, w);
    painter.drawImage(at.at(tub), copies.cheese);
    const int caption = captionIndex(t);
    const QPoint baseline = captionBaseline(tub);
    if (at.scale() == scale) {
        const Caption &text = copies.captions.at(caption);
        painter.drawImage(at.at(baseline) - text.baseline, text.image);
    } else {
        drawCaption(painter, baseline, texts.at(caption));
    }
    return true;
}

QRegion Mince::changedBetween(long from, long to) const
{
    if (from == to)
        return QRegion();
    const Copies &copies = scaled.one;
    const QRect whole = wholeViewport();
    QRegion changed;
    // The falling character where it was and is, above the mask strip.
    const QRect aboveStrip(whole.topLeft(), QPoint(whole.right(), stripTopPx - 1));
    for (const long t : {from, to})
        changed
            += QRect(fallingPosition(t, compositionHeightPx), copies.falling.size()) & aboveStrip;
    // Each small character where it was and is, right of the strip.
    const QRect rightOfStrip(QPoint(stripRightPx, whole.top()), whole.bottomRight());
    QRegion train;
    for (int i = 0; i < trainLength; ++i) {
        train += QRect(trainPosition(from, i), copies.small.size());
        train += QRect(trainPosition(to, i), copies.small.size());
    }
    changed += train & rightOfStrip;
    // The crank: what differs between the frames from one to the other.
    const int first = std::min(frameIndex(from), frameIndex(to));
    const int last = std::max(frameIndex(from), frameIndex(to));
    for (int i = first; i < last; ++i)
        changed += crankSteps.at(i);
    changed += tubAndCaption(from) + tubAndCaption(to);
    QRegion margined;
    for (const QRect &part : changed)
        margined
            += part.adjusted(-viewportSlackPx, -viewportSlackPx, viewportSlackPx, viewportSlackPx);
    return margined;
}

int Mince::frameIndex(qint64 t)
{
    const qint64 steps = crankSwingMs / crankStepMs;
    qint64 q = (t / crankStepMs) % steps;
    if (q < 0)
        q += steps;
    return int(q <= 5 ? q : 10 - q);
}

Mince::Copies Mince::copiesAt(qreal deviceScale) const
{
    Copies copies;
    copies.scale = CopyScale(deviceScale);
    const CopyScale &at = copies.scale;
    const auto premultiplied = [](const QImage &image) {
        return image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    };
    copies.falling = at.copy(
        premultiplied(muumi.mirrored(false, true).scaledToWidth(230, Qt::FastTransformation)));
    copies.small
        = at.copy(premultiplied(muumi.scaledToWidth(50, Qt::FastTransformation)
                                    .transformed(QTransform().rotate(90), Qt::FastTransformation)));
    for (int i = 0; i < frames.size(); ++i)
        copies.frames.append(at.copy(frames.at(i), grinderPosition(i)));
    copies.cheese = at.copy(raejuusto);
    for (const QString &text : texts)
        copies.captions.append(rasterise(text, deviceScale));
    return copies;
}

QRegion Mince::tubAndCaption(qint64 t) const
{
    const QPoint tub = tubPosition(t, compositionWidthPx);
    const Caption &caption = scaled.one.captions.at(captionIndex(t));
    return QRegion(QRect(tub, raejuusto.size()))
        | QRect(captionBaseline(tub) - caption.baseline, caption.image.size());
}

QPoint Mince::trainPosition(qint64 t, int i)
{
    const qint64 m = t - trainGapMs * i;
    const int x = int(std::max<qint64>(m, 0) % trainLapMs) + trainStartPx;
    const double g = std::sin(float(i) / 15.0f);
    const int y = int(g * (i % 3) * double(strandSpreadPx)) + trainTopPx;
    return QPoint(x, y);
}

QRect Mince::differingRect(const QImage &a, QPoint pa, const QImage &b, QPoint pb)
{
    if (a.size() != b.size() || pa != pb)
        return QRect(pa, a.size()) | QRect(pb, b.size());
    int left = a.width(), right = -1, top = a.height(), bottom = -1;
    for (int y = 0; y < a.height(); ++y) {
        const auto *rowA = reinterpret_cast<const quint32 *>(a.constScanLine(y));
        const auto *rowB = reinterpret_cast<const quint32 *>(b.constScanLine(y));
        for (int x = 0; x < a.width(); ++x) {
            if (rowA[x] != rowB[x]) {
                left = std::min(left, x);
                right = std::max(right, x);
                top = std::min(top, y);
                bottom = std::max(bottom, y);
            }
        }
    }
    return QRect(QPoint(left, top), QPoint(right, bottom)).translated(pa);
}

void Mince::drawCaption(QPainter &painter, QPointF baseline, const QString &text)
{
    QFont font;
    font.setPixelSize(100);
    painter.setFont(font);
    painter.setPen(Qt::white);
    painter.drawText(baseline, text);
}

Mince::Caption Mince::rasterise(const QString &text, qreal deviceScale)
{
    if (text.isEmpty())
        return Caption();
    QFont font;
    font.setPixelSize(100);
    QPainterPath outline;
    outline.addText(0, 0, font, text);
    const QRect bounds = QTransform::fromScale(deviceScale, deviceScale)
                             .mapRect(outline.boundingRect())
                             .toAlignedRect()
                             .adjusted(-2, -2, 2, 2);
    Caption caption;
    caption.baseline = -bounds.topLeft();
    caption.image = QImage(bounds.size(), QImage::Format_ARGB32_Premultiplied);
    caption.image.fill(Qt::transparent);
    QPainter painter(&caption.image);
    painter.translate(caption.baseline);
    painter.scale(deviceScale, deviceScale);
    drawCaption(painter, QPointF(0, 0), text);
    return caption;
}
