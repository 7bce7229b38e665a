#include "forest.h"

#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <cmath>

Forest::Forest()
    : background(QStringLiteral(":/resources/background")),
      foreground(QStringLiteral(":/resources/foreground")),
      muumi1(QStringLiteral(":/resources/muumi1")),
      muumi2(QStringLiteral(":/resources/muumi2"))
{
    // The background over the fill colour: what the screen shows of it at full opacity,
    // composed with the painter's blend on the window's format, but opaque, so that drawing
    // it is a copy.
    if (!background.isNull()) {
        backdrop = QImage(background.size(), QImage::Format_RGB32);
        backdrop.fill(sceneColour());
        QPainter painter(&backdrop);
        painter.drawImage(0, 0, background);
    }
    sceneryRect = backgroundRect() | QRect(foregroundPosition(), foreground.size());
    scaled.one = layersAt(1);
}

SceneEvents Forest::events() const
{
    return {{{hopAtMs, "hop"},
             {firstRiseAtMs, "first rise"},
             {secondRiseAtMs, "second rise"},
             {waveAtMs, "wave"},
             {spinAtMs, "spin"}}};
}

bool Forest::draw(long t, QPainter &painter)
{
    const QSize viewport = logicalViewportSize(painter);
    const int w = viewport.width();
    const int h = viewport.height();
    const bool waving = isWaving(t);
    const int top = muumiTop(t);
    const float k = finaleStep(t);

    if (k <= 0) {
        drawStill(painter, w, h, waving, top);
        return true;
    }

    // The finale: the picture turns (finaleTurn), and fades out.
    const float scale = finaleScale(k);
    const float opacity = 1.0f - float(t - fadeAtMs) / float(fadeMs);

    if (opacity < 1 || backdrop.isNull()) {
        // Where whole pixels would be dropped or doubled unevenly, the picture turns
        // smoothly; it is small by now.
        if (!isWholeScale(deviceScale(painter)))
            painter.setRenderHint(QPainter::SmoothPixmapTransform);
        const QImage &muumi = waving ? muumi2 : muumi1;
        painter.fillRect(QRect(0, 0, w, h), sceneColour());
        painter.translate(w / 2, h / 2);
        painter.rotate(k * k);
        painter.scale(scale, scale);
        painter.setOpacity(opacity);
        painter.drawImage(backgroundRect().topLeft(), background);
        painter.drawImage(QPoint(-(muumi.width() / 2), top), muumi);
        painter.drawImage(foregroundPosition(), foreground);
        return opacity >= 0;
    }

    // Until the fade the character stands still, waving, and the picture turns as one: the
    // opaque scenery, then the character as the tree row leaves it visible. The scenery
    // covers its rectangle, so the fill is only needed outside it: outside its rectangle
    // shrunk by 2 screen pixels, so that no pixel along its edge is missed. At whole scales
    // the painter's sampling turns the layers of scale 1 as a screen scaled by Qt shows them;
    // at others, copies made for the scale keep the turning picture sharp.
    const Layers &layers
        = isWholeScale(deviceScale(painter)) ? scaled.one : scaled.forPainter(painter);
    const CopyScale &at = layers.scale;
    painter.translate(w / 2, h / 2);
    at.enter(painter);
    const QTransform turn = finaleTurn(t);
    const qreal margin = 2 / (scale * deviceScale(painter)); // px of the copies
    QPainterPath uncovered;
    uncovered.addRect(frameRect(painter));
    const QRectF inner = QRectF(at.rect(sceneryRect)).adjusted(margin, margin, -margin, -margin);
    if (inner.isValid())
        uncovered.addPolygon(turn.map(QPolygonF(inner)));
    painter.fillPath(uncovered, sceneColour());
    painter.setTransform(turn, true);
    // The scenery is opaque: copied, not blended.
    painter.setCompositionMode(QPainter::CompositionMode_Source);
    painter.drawImage(at.at(sceneryRect.topLeft()), layers.turningScenery);
    painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
    painter.drawImage(at.at(-(muumi2.width() / 2), top), layers.turningMuumi);
    return true;
}

QRegion Forest::changedBetween(long from, long to) const
{
    const bool finaleFrom = finaleStep(from) > 0;
    const bool finaleTo = finaleStep(to) > 0;
    if (finaleFrom != finaleTo)
        return wholeViewport();
    if (finaleFrom)
        return QRegion(turnedPicture(from)) | turnedPicture(to);
    if (muumiTop(from) == muumiTop(to) && isWaving(from) == isWaving(to))
        return QRegion();
    return QRegion(characterRect(from)) | characterRect(to);
}

int Forest::muumiTop(qint64 t)
{
    if (t < hopAtMs)
        return restTopPx;
    if (t < hopAtMs + hopMs)
        return restTopPx
            - int(createFade(t - hopAtMs, hopMs, hopRampMs, hopRampMs) * float(hopHeightPx));
    if (t < firstRiseAtMs)
        return restTopPx;
    // Each rise at an even pace, and held.
    const auto risen = [t](qint64 atMs) {
        return riseHeightPx * std::clamp<qint64>(t - atMs, 0, riseMs) / riseMs;
    };
    return restTopPx - int(risen(firstRiseAtMs) + risen(secondRiseAtMs));
}

QTransform Forest::finaleTurn(qint64 t)
{
    const float k = finaleStep(t);
    const float scale = finaleScale(k);
    QTransform turn;
    turn.rotate(k * k);
    turn.scale(scale, scale);
    return turn;
}

QRect Forest::frameRect(const QPainter &painter)
{
    return painter.deviceTransform().inverted().mapRect(QRectF(painter.viewport())).toAlignedRect();
}

Forest::Layers Forest::layersAt(qreal deviceScale) const
{
    Layers layers;
    layers.scale = CopyScale(deviceScale);
    const CopyScale &at = layers.scale;
    // Unturned, premultiplied images give the same pixels and blend and scale faster.
    layers.backdrop = at.copy(backdrop, backgroundRect().topLeft());
    layers.foreground = at.copy(foreground.convertToFormat(QImage::Format_ARGB32_Premultiplied),
                                foregroundPosition());
    layers.muumi1 = at.copy(muumi1.convertToFormat(QImage::Format_ARGB32_Premultiplied));
    layers.muumi2 = at.copy(muumi2.convertToFormat(QImage::Format_ARGB32_Premultiplied));
    // The scenery is composed of the very copies that the frames draw, at the same places.
    const QRect canvas = at.rect(sceneryRect);
    if (!canvas.isEmpty()) {
        layers.scenery = QImage(canvas.size(), QImage::Format_RGB32);
        layers.scenery.fill(sceneColour());
        QPainter painter(&layers.scenery);
        painter.translate(-canvas.topLeft());
        painter.drawImage(at.at(backgroundRect().topLeft()), layers.backdrop);
        painter.drawImage(at.at(foregroundPosition()), layers.foreground);
    }
    if (deviceScale == 1 || !isWholeScale(deviceScale)) {
        layers.turningScenery = layers.scenery.convertToFormat(QImage::Format_ARGB32_Premultiplied);
        const QPoint waving(-(muumi2.width() / 2), muumiTop(spinAtMs + 1));
        layers.turningMuumi = visibleCharacter(layers.muumi2, layers.foreground,
                                               at.at(foregroundPosition()) - at.at(waving));
    }
    return layers;
}

void Forest::drawStill(QPainter &painter, int w, int h, bool waving, int top) const
{
    const Layers &layers = scaled.forPainter(painter);
    const CopyScale &at = layers.scale;
    painter.translate(w / 2, h / 2);
    at.enter(painter);

    const QRect scenery(at.at(sceneryRect.topLeft()), layers.scenery.size());
    const QRect frame = frameRect(painter);
    if (!scenery.contains(frame))
        painter.fillRect(frame, sceneColour());
    painter.drawImage(scenery.topLeft(), layers.scenery);

    const QImage &muumi = waving ? layers.muumi2 : layers.muumi1;
    const QRect character(at.at(-(muumi1.width() / 2), top), muumi.size());
    painter.setClipRect(character, Qt::IntersectClip);
    painter.fillRect(character, sceneColour());
    painter.drawImage(at.at(backgroundRect().topLeft()), layers.backdrop);
    painter.drawImage(character.topLeft(), muumi);
    painter.drawImage(at.at(foregroundPosition()), layers.foreground);
}

QImage Forest::visibleCharacter(const QImage &muumi, const QImage &foreground, QPoint trees)
{
    if (muumi.isNull())
        return QImage();
    QImage visible(muumi.size(), QImage::Format_ARGB32_Premultiplied);
    visible.fill(Qt::transparent);
    QPainter painter(&visible);
    painter.drawImage(0, 0, muumi);
    painter.drawImage(trees, foreground);
    painter.end();
    for (int y = 0; y < visible.height(); ++y) {
        QRgb *line = reinterpret_cast<QRgb *>(visible.scanLine(y));
        const QRgb *own = reinterpret_cast<const QRgb *>(muumi.constScanLine(y));
        const int treeY = y - trees.y();
        const QRgb *treeLine = treeY >= 0 && treeY < foreground.height()
            ? reinterpret_cast<const QRgb *>(foreground.constScanLine(treeY))
            : nullptr;
        for (int x = 0; x < visible.width(); ++x) {
            const int treeX = x - trees.x();
            const bool hidden = treeLine && treeX >= 0 && treeX < foreground.width()
                && qAlpha(treeLine[treeX]) == 255;
            if (qAlpha(own[x]) == 0 || hidden)
                line[x] = 0;
        }
    }
    return visible.convertToFormat(QImage::Format_ARGB32);
}
