#ifndef FOREST_H
#define FOREST_H

#include "instruction.h"
#include "scenekit.h"

#include <QImage>
#include <QRect>
#include <QTransform>

// The first scene: the character behind the tree row hops, rises twice and waves; then the whole
// picture spins, shrinks and fades out. Finishes once faded out, at 31701 ms.
class Forest : public Instruction, public ScaleAware, public ChangingParts
{
public:
    Forest();

    // Faded out: from 31701 ms the opacity is below 0.
    long endTime() const override { return 31701; }
    const char *name() const override { return "forest"; }
    SceneEvents events() const override;

    bool draw(long t, QPainter &painter) override;

    void prepareScale(qreal deviceScale) override
    {
        scaled.prepare(deviceScale, [this](qreal scale) { return layersAt(scale); });
    }

    // Until the finale only the character moves, or changes its pose; in the finale the turned
    // picture where it was and is, on a plain fill.
    QRegion changedBetween(long from, long to) const override;

    // Top edge of the character (px from the centre) at scene time t (ms): at rest 350, a 100 px
    // hop from 14000 to 14999 ms, then two rises of 150 px over 150 ms at 18000 and 22500 ms.
    static int muumiTop(qint64 t);
    // Whether the picture turns at scene time t (ms): in the finale, from 23500 ms.
    static bool turnsAt(qint64 t) { return finaleStep(t) > 0; }
    // How the finale turns the picture about the centre at scene time t (ms): by k² degrees,
    // scaled by finaleScale(k).
    static QTransform finaleTurn(qint64 t);

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
    static QRect frameRect(const QPainter &painter);

    Layers layersAt(qreal deviceScale) const;

    // Before the finale the picture stands still: the scenery gives every pixel but the
    // character's rectangle, which is then painted layer by layer (fill, background, character,
    // tree row) within that rectangle. The fill is only needed where the scenery does not reach.
    void drawStill(QPainter &painter, int w, int h, bool waving, int top) const;

    // The character as the tree row in front of it (at `trees` from the character's corner)
    // leaves it visible: the tree row over it wherever the character shows and the tree row does
    // not hide it fully; transparent elsewhere, where the scenery under it is the right picture
    // already. Drawn over the scenery, it gives the three layers' picture.
    static QImage visibleCharacter(const QImage &muumi, const QImage &foreground, QPoint trees);

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
