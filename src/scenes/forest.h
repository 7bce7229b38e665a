#ifndef FOREST_H
#define FOREST_H

#include "instruction.h"
#include "scenekit.h"

#include <QColor>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QTransform>

#include <algorithm>
#include <cmath>

// The first scene: the character behind the tree row hops, rises twice and waves; then the whole
// picture spins, shrinks and fades out. Finishes once faded out, at 31701 ms.
class Forest : public Instruction, public ScaleAware, public ChangingParts
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

    // Faded out: from 31701 ms the opacity is below 0.
    long endTime() const override { return 31701; }

    SceneEvents events() const override
    {
        return {{{14000, "hop"},
                 {18000, "first rise"},
                 {22500, "second rise"},
                 {23000, "wave"},
                 {23500, "spin"},
                 {endTime(), "end"}}};
    }

    bool draw(long t, QPainter &painter) override
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

        // The finale from 23500 ms: the picture turns (finaleTurn), and fades out from 30700 to
        // 31700 ms.
        const float scale = finaleScale(k);
        const float opacity = 1.0f - (float(t - 12000) - 18700.0f) / 1000.0f;

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
        const QRectF inner
            = QRectF(at.rect(sceneryRect)).adjusted(margin, margin, -margin, -margin);
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

    void prepareScale(qreal deviceScale) override
    {
        scaled.prepare(deviceScale, [this](qreal scale) { return layersAt(scale); });
    }

    // Until the finale only the character moves, or changes its pose; in the finale the turned
    // picture where it was and is, on a plain fill.
    QRegion changedBetween(long from, long to) const override
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

    // The finale's step k at scene time t (ms): 0 at 23500 ms, one per 200 ms after it.
    static float finaleStep(qint64 t) { return float(t - 23500) / 200.0f; }
    // The picture's scale at step k: 1, then 1/k once k > 1 (after 23700 ms).
    static float finaleScale(float k)
    {
        const float inverse = 1.0f / k;
        return inverse <= 1.0f ? inverse : 1.0f;
    }
    // How the finale turns the picture about the centre at scene time t (ms): by k² degrees,
    // scaled by finaleScale(k).
    static QTransform finaleTurn(qint64 t)
    {
        const float k = finaleStep(t);
        const float scale = finaleScale(k);
        QTransform turn;
        turn.rotate(k * k);
        turn.scale(scale, scale);
        return turn;
    }
    // What the finale's frame at scene time t (ms) shows other than the fill: the turned
    // scenery and character.
    QRect turnedPicture(qint64 t) const
    {
        return finaleTurn(t).mapRect(QRectF(sceneryRect | characterRect(t))).toAlignedRect();
    }

    // The character waves from 23001 ms.
    static bool isWaving(qint64 t) { return t - 12000 > 11000; }
    // Where the character stands at scene time t (ms).
    QRect characterRect(qint64 t) const
    {
        return QRect(-(muumi1.width() / 2), muumiTop(t), muumi1.width(), muumi1.height());
    }

    // The picture's layers, as copies for one device scale.
    struct Layers
    {
        CopyScale scale {0};
        QImage scenery; // the backdrop with the tree row over it, covering sceneryRect; opaque
        QImage backdrop; // the background over the fill colour; opaque
        QImage foreground, muumi1, muumi2; // premultiplied
        // What the finale turns until the fade. Their turned samples land where the loaded
        // images' do: the character's in the format the images are loaded in; the scenery's,
        // which is opaque and copied, in the premultiplied one too.
        QImage turningScenery; // the scenery, premultiplied (not at whole scales above 1)
        QImage turningMuumi; // the waving character as the tree row leaves it visible (ditto)
    };

    // The whole frame in the painter's current coordinates.
    static QRect frameRect(const QPainter &painter)
    {
        return painter.deviceTransform()
            .inverted()
            .mapRect(QRectF(painter.viewport()))
            .toAlignedRect();
    }

    Layers layersAt(qreal deviceScale) const
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
            layers.turningScenery
                = layers.scenery.convertToFormat(QImage::Format_ARGB32_Premultiplied);
            const QPoint waving(-(muumi2.width() / 2), muumiTop(23501));
            layers.turningMuumi = visibleCharacter(layers.muumi2, layers.foreground,
                                                   at.at(foregroundPosition()) - at.at(waving));
        }
        return layers;
    }

    // Before the finale the picture stands still: the scenery gives every pixel but the
    // character's rectangle, which is then painted layer by layer (fill, background, character,
    // tree row) within that rectangle. The fill is only needed where the scenery does not reach.
    void drawStill(QPainter &painter, int w, int h, bool waving, int top) const
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

    // The character as the tree row in front of it (at `trees` from the character's corner)
    // leaves it visible: the tree row over it wherever the character shows and the tree row does
    // not hide it fully; transparent elsewhere, where the scenery under it is the right picture
    // already. Drawn over the scenery, it gives the three layers' picture.
    static QImage visibleCharacter(const QImage &muumi, const QImage &foreground, QPoint trees)
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

    QImage backdrop; // the background over the fill colour, opaque
    QRect sceneryRect; // what the backdrop and the tree row cover together
    ScaledCopies<Layers> scaled;
};

#endif // FOREST_H
