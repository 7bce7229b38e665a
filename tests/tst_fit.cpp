#include "forest.h"
#include "framepainter.h"
#include "imagediff.h"
#include "mince.h"
#include "paintlog.h"
#include "scenelist.h"

#include <QtTest>

#include <cstring>

// The scenes fitted to screens of other sizes than the 1920x1080 they are composed for: scaled by
// s = min(W / 1920, H / 1080) into a rectangle centred on the screen, where the scenes see a
// 1920x1080 viewport; the bars around it in the scene colour in every frame, every pixel painted.
class TestFit : public QObject
{
    Q_OBJECT

private:
    Forest forest;
    Mince mince;

    static void addScreens()
    {
        QTest::addColumn<QSize>("screen");
        QTest::addColumn<qreal>("scale");
        QTest::addColumn<QRect>("fitted"); // where the composition goes, in device pixels
        QTest::newRow("1366x768 laptop")
            << QSize(1366, 768) << 768 / 1080.0 << QRect(0, 0, 1365, 768);
        QTest::newRow("1280x1024 5:4")
            << QSize(1280, 1024) << 1280 / 1920.0 << QRect(0, 152, 1280, 720);
        QTest::newRow("1920x1080") << QSize(1920, 1080) << 1.0 << QRect(0, 0, 1920, 1080);
        QTest::newRow("1920x1200 16:10") << QSize(1920, 1200) << 1.0 << QRect(0, 60, 1920, 1080);
        QTest::newRow("2560x1440") << QSize(2560, 1440) << 2560 / 1920.0 << QRect(0, 0, 2560, 1440);
        QTest::newRow("2560x1600 16:10")
            << QSize(2560, 1600) << 2560 / 1920.0 << QRect(0, 80, 2560, 1440);
        QTest::newRow("3440x1440 ultrawide")
            << QSize(3440, 1440) << 1440 / 1080.0 << QRect(440, 0, 2560, 1440);
        QTest::newRow("3840x2160 4K") << QSize(3840, 2160) << 2.0 << QRect(0, 0, 3840, 2160);
    }

    // What `scene` asks of a painter on a screen of that size, fitted as FramePainter fits it: a
    // painter on the fitted rectangle alone, scaled. Positions are relative to that rectangle.
    template<typename Scene>
    QVector<PaintLog::Entry> drawnFitted(Scene &scene, qint64 t, QSize screen)
    {
        const qreal scale = fitScale(screen);
        scene.prepareScale(scale);
        const QRect fitted = fittedRect(screen);
        PaintLog log(fitted.width(), fitted.height());
        QPainter painter(&log);
        painter.setWorldTransform(QTransform::fromScale(scale, scale));
        scene.draw(t, painter);
        return log.entries;
    }

    // A scene that records the scales it is prepared for and the viewport it sees.
    struct Probe : Instruction, ScaleAware
    {
        bool draw(long, QPainter &painter) override
        {
            viewport = logicalViewportSize(painter);
            return true;
        }
        void prepareScale(qreal deviceScale) override { prepared.append(deviceScale); }
        QSize viewport;
        QList<qreal> prepared;
    };

    // Is the whole of a drawn image inside the fitted rectangle (to within a pixel)?
    static bool inside(const PaintLog::Entry &e, const QRect &fitted)
    {
        const QRectF placed(e.map(e.rect.topLeft()), e.map(e.rect.bottomRight()));
        return QRectF(-1, -1, fitted.width() + 2, fitted.height() + 2).contains(placed);
    }

    // The last image drawn of about `size` composition pixels at that scale.
    static const PaintLog::Entry *imageOfSize(const QVector<PaintLog::Entry> &log, QSize size,
                                              qreal scale)
    {
        const PaintLog::Entry *found = nullptr;
        for (const PaintLog::Entry &e : log) {
            if (e.kind == PaintLog::Entry::Image
                && std::abs(e.image.width() - size.width() * scale) <= 1
                && std::abs(e.image.height() - size.height() * scale) <= 1)
                found = &e;
        }
        return found;
    }

    // Checks that an image of `size` landed with its top-left corner where the 1920x1080 frame
    // puts it (`at`, from the centre), scaled by `scale` into the fitted rectangle, within 2 px.
    static bool landsAt(const QVector<PaintLog::Entry> &log, QSize size, QPoint at, qreal scale,
                        QString *where)
    {
        const PaintLog::Entry *e = imageOfSize(log, size, scale);
        if (!e) {
            *where = QStringLiteral("not drawn");
            return false;
        }
        const QPointF topLeft = e->map(e->rect.topLeft());
        const QPointF expected = (QPointF(960, 540) + QPointF(at)) * scale;
        *where = QStringLiteral("at %1,%2, expected %3,%4")
                     .arg(topLeft.x())
                     .arg(topLeft.y())
                     .arg(expected.x())
                     .arg(expected.y());
        return std::abs(topLeft.x() - expected.x()) <= 2
            && std::abs(topLeft.y() - expected.y()) <= 2;
    }

    // Pixels of `area` that are not `colour`.
    static int notOf(const QImage &frame, const QRect &area, QRgb colour)
    {
        int n = 0;
        for (int y = area.top(); y <= area.bottom(); ++y) {
            const QRgb *line = reinterpret_cast<const QRgb *>(frame.constScanLine(y));
            for (int x = area.left(); x <= area.right(); ++x)
                n += (line[x] | 0xff000000) != colour;
        }
        return n;
    }

private slots:
    // The fitted rectangle, and what a scene sees of it: a 1920x1080 viewport at the fit's scale,
    // prepared for ahead of the first frame.
    void scale_data() { addScreens(); }

    void scale()
    {
        QFETCH(QSize, screen);
        QFETCH(qreal, scale);
        QFETCH(QRect, fitted);
        QVERIFY(qFuzzyCompare(fitScale(screen), scale));
        QCOMPARE(fittedRect(screen), fitted);
        Probe probe;
        FramePainter painter({&probe}, 1);
        painter.prepareFor(screen);
        QCOMPARE(probe.prepared, QList<qreal>({scale}));
        QImage frame = blankFrame(screen, 1);
        painter.draw(probe, 0, frame);
        QCOMPARE(probe.prepared.size(), 1);
        QCOMPARE(probe.viewport, QSize(1920, 1080));
    }

    // The character at rest and risen, the backdrop, the tree row: where the 1080p frame has them,
    // scaled into the fitted rectangle, and the backdrop (the whole composition) inside it.
    void forestPlacement_data() { addScreens(); }

    void forestPlacement()
    {
        QFETCH(QSize, screen);
        QFETCH(qreal, scale);
        QFETCH(QRect, fitted);
        QString where;
        for (const qint64 t : {0L, Forest::waveAtMs}) {
            const QVector<PaintLog::Entry> log = drawnFitted(forest, t, screen);
            QVERIFY2(
                landsAt(log, QSize(284, 507), QPoint(-142, Forest::muumiTop(t)), scale, &where),
                qPrintable("character " + where));
            QVERIFY2(landsAt(log, QSize(1920, 1080), QPoint(-960, -540), scale, &where),
                     qPrintable("backdrop " + where));
            QVERIFY2(
                landsAt(log, QSize(1920, 667), QPoint(-960, Forest::treeRowTopPx), scale, &where),
                qPrintable("tree row " + where));
            QVERIFY(inside(*imageOfSize(log, QSize(1920, 1080), scale), fitted));
        }
    }

    // The grinder, the cheese tub and the falling character of the 1080p frame, scaled into the
    // fitted rectangle: the tub enters at the composition's right edge and the character at its
    // top edge, on any screen.
    void mincePlacement_data() { addScreens(); }

    void mincePlacement()
    {
        QFETCH(QSize, screen);
        QFETCH(qreal, scale);
        QFETCH(QRect, fitted);
        const qint64 t = 3300;
        const QVector<PaintLog::Entry> log = drawnFitted(mince, t, screen);
        QString where;
        QVERIFY2(landsAt(log, QSize(680, 953), QPoint(-680, -476), scale, &where),
                 qPrintable("grinder " + where));
        QVERIFY2(landsAt(log, QSize(413, 292), QPoint(1920 - t, Mince::tubTopPx), scale, &where),
                 qPrintable("cheese tub " + where));
        QVERIFY2(landsAt(log, QSize(230, 411),
                         QPoint(Mince::fallingLeftPx, t % Mince::fallMs - 1080), scale, &where),
                 qPrintable("falling character " + where));
        QVERIFY(inside(*imageOfSize(log, QSize(680, 953), scale), fitted));
    }

    // Painted frames through the hop, the rises, the spin, the shrink and the fade, the falling
    // character, and the tub and its caption entering and leaving: every pixel painted, every
    // pixel outside the fitted rectangle exactly the scene colour, and inside it the 1080p frame
    // scaled (scaled here as a whole, there image by image, so edges differ a little).
    void letterbox_data() { addScreens(); }

    void letterbox()
    {
        QFETCH(QSize, screen);
        QFETCH(QRect, fitted);
        struct Moment
        {
            Instruction &scene;
            qint64 t;
        };
        using F = Forest;
        const Moment moments[] = {{forest, 0},
                                  {forest, F::hopAtMs + 250},
                                  {forest, F::firstRiseAtMs + 75},
                                  {forest, F::secondRiseAtMs + 75},
                                  {forest, F::spinAtMs + 150},
                                  {forest, F::spinAtMs + 1500},
                                  {forest, F::fadeAtMs + 500},
                                  {mince, 700},
                                  {mince, 1200},
                                  {mince, 3100},
                                  {mince, 4500},
                                  {mince, 27600}};
        const QRgb fill = sceneColour().rgb();
        for (const Moment &m : moments) {
            const QString what = QStringLiteral("%1 at %2 ms")
                                     .arg(&m.scene == &forest ? "forest" : "mince")
                                     .arg(m.t);
            const QImage frame = fittedFrame(m.scene, m.t, screen, 2);
            QRegion bars = QRegion(frame.rect()).subtracted(fitted);
            int wrong = 0;
            for (const QRect &bar : bars)
                wrong += notOf(frame, bar, fill);
            QVERIFY2(wrong == 0, qPrintable(QString("%1: %2 bar pixels").arg(what).arg(wrong)));
            QCOMPARE(notOf(frame, fitted, qRgb(255, 0, 255)), fitted.width() * fitted.height());

            const QImage expected
                = fittedFrame(m.scene, m.t, QSize(1920, 1080), 1)
                      .scaled(fitted.size(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
            const PixelDifference difference = comparePixels(frame.copy(fitted), expected, 64);
            QVERIFY2(difference.beyond < fitted.width() * fitted.height() / 100,
                     qPrintable(QString("%1: %2 pixels differ by more than 64 levels")
                                    .arg(what)
                                    .arg(difference.beyond)));
        }
    }

    // The window's frames, each painted only where the scene says it changed since the frame on
    // screen (nothing where it says nothing changed), are the frames painted whole: every scene of
    // the list over its whole timeline at 60 frames per second, one that goes on a second past it;
    // every 1.5 s a seek back by 1 s, and every 10 s one by 10 s, each followed by the frame after
    // the one before the seek (a seek forward). On a screen of the composition's size, a
    // letterboxed one and one scaled by a fractional device pixel ratio, whose window asks for the
    // changed parts in logical pixels, every frame; on the other screens every tenth.
    void changedParts_data()
    {
        QTest::addColumn<QSize>("screen"); // logical pixels
        QTest::addColumn<qreal>("ratio"); // device pixels per logical pixel
        QTest::addColumn<int>("stride"); // frames at 60 per second from one step to the next
        QTest::newRow("1920x1080") << QSize(1920, 1080) << 1.0 << 1;
        QTest::newRow("1280x1024 5:4") << QSize(1280, 1024) << 1.0 << 1;
        QTest::newRow("2560x1440 at QT_SCALE_FACTOR=1.5") << QSize(1707, 960) << 1.5 << 1;
        QTest::newRow("1366x768 laptop") << QSize(1366, 768) << 1.0 << 10;
        QTest::newRow("1920x1200 16:10") << QSize(1920, 1200) << 1.0 << 10;
        QTest::newRow("2560x1600 16:10") << QSize(2560, 1600) << 1.0 << 10;
        QTest::newRow("3440x1440 ultrawide") << QSize(3440, 1440) << 1.0 << 10;
        QTest::newRow("3840x2160 4K") << QSize(3840, 2160) << 1.0 << 10;
    }

    void changedParts()
    {
        QFETCH(QSize, screen);
        QFETCH(qreal, ratio);
        QFETCH(int, stride);
        const QSize device = screen * ratio; // as the window rounds it
        const QList<Instruction *> scenes = createScenes();
        FramePainter painter(scenes, 2);
        QStringList faults;
        for (Instruction *scene : scenes) {
            // Over the scene's timeline, and a second past it where the scene goes on.
            const long lengthMs
                = scene->lengthMs() + (scene->endTime() == Instruction::noEnd ? 1000 : 0);
            const int frames = int(lengthMs * 60 / 1000);
            QList<long> times;
            for (int n = 0; n <= frames; ++n) {
                if (n % stride == 0)
                    times.append(long(n) * 1000 / 60);
                if (n % 90 == 45)
                    times.append(times.last() - 1000);
                if (n % 600 == 300)
                    times.append(times.last() - 10000);
            }
            // A scene without changing parts is repainted whole every frame: nothing to check.
            const auto *parts = dynamic_cast<const ChangingParts *>(scene);
            if (!parts)
                continue;
            QImage shown = blankFrame(device, 1), whole = blankFrame(device, 1);
            painter.draw(*scene, times.first(), shown);
            long shownTime = times.first();
            for (const long t : times) {
                const long from = shownTime;
                const QRegion changed = scaledOutwards(
                    scaledOutwards(deviceRegion(device, parts->changedBetween(from, t)), 1 / ratio),
                    ratio);
                if (!changed.isEmpty()) {
                    painter.draw(*scene, t, shown, changed);
                    shownTime = t;
                }
                painter.draw(*scene, t, whole);
                if (std::memcmp(shown.constBits(), whole.constBits(), whole.sizeInBytes()) == 0)
                    continue;
                faults.append(QStringLiteral("%1 from %2 to %3 ms: %4 pixels differ")
                                  .arg(scene->name())
                                  .arg(from)
                                  .arg(t)
                                  .arg(differingPixels(shown, whole)));
                shown = whole.copy(); // the next steps from a right frame
                shownTime = t;
            }
        }
        QVERIFY2(faults.isEmpty(),
                 qPrintable(QStringLiteral("%1 frames differ, the first: %2")
                                .arg(faults.size())
                                .arg(faults.mid(0, 8).join(QStringLiteral("; ")))));
    }
};

QTEST_MAIN(TestFit)
#include "tst_fit.moc"
