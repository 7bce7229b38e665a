#ifndef FOREST_H
#define FOREST_H

#include "instruction.h"
#include "scenekit.h"

#include <QImage>
#include <QRect>
#include <QTransform>

// The first scene: the character behind the tree row hops, rises twice and waves; then the whole
// picture spins, shrinks and fades out. Finishes once faded out.
class Forest : public Instruction, public ScaleAware, public ChangingParts
{
public:
    // The timeline, in ms of scene time; the music marks the moments from the hop to the spin.
    static constexpr long hopAtMs = 14000; // a hop of hopHeightPx over hopMs
    static constexpr long hopMs = 1000;
    static constexpr long hopRampMs = 250; // up at its start, down at its end
    static constexpr long firstRiseAtMs = 18000; // each rise riseHeightPx over riseMs
    static constexpr long secondRiseAtMs = 22500;
    static constexpr long riseMs = 150;
    static constexpr long waveAtMs = 23000; // waving from the next ms on
    static constexpr long spinAtMs = 23500; // the finale: the picture turns and shrinks
    static constexpr long finaleStepMs = 200; // one step k of the finale
    static constexpr long fadeAtMs = 30700; // the picture fades out over fadeMs
    static constexpr long fadeMs = 1000;
    // Positions, in px from the centre, y down: the top edges of the character at rest and of
    // the tree row, and how far the character hops and rises.
    static constexpr int restTopPx = 350;
    static constexpr int treeRowTopPx = -80;
    static constexpr int hopHeightPx = 100;
    static constexpr int riseHeightPx = 150;

    Forest();

    // Faded out: from then on the opacity is below 0.
    long endTime() const override { return fadeAtMs + fadeMs + 1; }
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

    // Top edge of the character (px from the centre) at scene time t (ms): at rest, then the hop
    // and the two rises, which it stays risen by.
    static int muumiTop(qint64 t);
    // Whether the picture turns at scene time t (ms): in the finale, after spinAtMs.
    static bool turnsAt(qint64 t) { return finaleStep(t) > 0; }
    // How the finale turns the picture about the centre at scene time t (ms): by k² degrees,
    // scaled by finaleScale(k).
    static QTransform finaleTurn(qint64 t);

private:
    friend class TestForest;

    // The finale's step k at scene time t (ms): 0 at spinAtMs, one per finaleStepMs after it.
    static float finaleStep(qint64 t) { return float(t - spinAtMs) / float(finaleStepMs); }
    // The picture's scale at step k: 1, then 1/k once k > 1 (after the first step).
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

    static bool isWaving(qint64 t) { return t > waveAtMs; }
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
    QPoint foregroundPosition() const { return QPoint(-(foreground.width() / 2), treeRowTopPx); }

    QImage background;
    QImage foreground;
    QImage muumi1;
    QImage muumi2;

    QImage backdrop; // the background over the fill colour, opaque
    QRect sceneryRect; // what the backdrop and the tree row cover together
    ScaledCopies<Layers> scaled;
};

#endif // FOREST_H
