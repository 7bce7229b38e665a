#include "forest.h"
#include "framepainter.h"
#include "mince.h"
#include "paintlog.h"

#include <QtTest>

// The scenes fitted to screens of other sizes than the 1920x1080 they are composed for: scaled by
// s = min(W / 1920, H / 1080) about the screen's centre, nothing of the composition cut off, the
// bars in the scene colour, every pixel painted, and the copies prepared once per fit.
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
        QTest::newRow("1366x768 laptop") << QSize(1366, 768) << 768 / 1080.0;
        QTest::newRow("1280x1024 5:4") << QSize(1280, 1024) << 1280 / 1920.0;
        QTest::newRow("1920x1080") << QSize(1920, 1080) << 1.0;
        QTest::newRow("1920x1200 16:10") << QSize(1920, 1200) << 1.0;
        QTest::newRow("2560x1440") << QSize(2560, 1440) << 2560 / 1920.0;
        QTest::newRow("3440x1440 ultrawide") << QSize(3440, 1440) << 1440 / 1080.0;
        QTest::newRow("3840x2160 4K") << QSize(3840, 2160) << 2.0;
    }

    // What `scene` asks of a painter on a screen of that size, fitted as the window fits it.
    template<typename Scene>
    QVector<PaintLog::Entry> drawnFitted(Scene &scene, qint64 t, QSize screen)
    {
        const qreal scale = fitScale(screen);
        scene.prepareScale(scale);
        PaintLog log(screen.width(), screen.height());
        QPainter painter(&log);
        painter.setWorldTransform(QTransform::fromScale(scale, scale));
        scene.draw(t, painter);
        return log.entries;
    }

    // The viewport that a scene sees on a screen of that size, fitted as the window fits it.
    static QSize fittedViewport(QSize screen)
    {
        QImage frame(screen, QImage::Format_RGB32);
        QPainter painter(&frame);
        painter.setWorldTransform(QTransform::fromScale(fitScale(screen), fitScale(screen)));
        return logicalViewportSize(painter);
    }

    // Is the whole of a drawn image on the screen (to within a pixel)?
    static bool onScreen(const PaintLog::Entry &e, QSize screen)
    {
        const QRectF placed(e.map(e.rect.topLeft()), e.map(e.rect.bottomRight()));
        return QRectF(-1, -1, screen.width() + 2, screen.height() + 2).contains(placed);
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
    // puts it (`at`, from the centre), scaled by `scale` about the screen's centre, within 2 px.
    static bool landsAt(const QVector<PaintLog::Entry> &log, QSize size, QPoint at, QSize screen,
                        qreal scale, QString *where)
    {
        const PaintLog::Entry *e = imageOfSize(log, size, scale);
        if (!e) {
            *where = QStringLiteral("not drawn");
            return false;
        }
        const QPointF topLeft = e->map(e->rect.topLeft());
        const QPointF expected = QPointF(screen.width(), screen.height()) / 2 + QPointF(at) * scale;
        *where = QStringLiteral("at %1,%2, expected %3,%4")
                     .arg(topLeft.x())
                     .arg(topLeft.y())
                     .arg(expected.x())
                     .arg(expected.y());
        return std::abs(topLeft.x() - expected.x()) <= 2
            && std::abs(topLeft.y() - expected.y()) <= 2;
    }

    static int count(const QImage &frame, const QRect &area, QRgb colour)
    {
        int n = 0;
        for (int y = area.top(); y <= area.bottom(); ++y) {
            const QRgb *line = reinterpret_cast<const QRgb *>(frame.constScanLine(y));
            for (int x = area.left(); x <= area.right(); ++x)
                n += (line[x] | 0xff000000) == colour;
        }
        return n;
    }

private slots:
    void scale_data() { addScreens(); }

    void scale()
    {
        QFETCH(QSize, screen);
        QFETCH(qreal, scale);
        QVERIFY(qFuzzyCompare(fitScale(screen), scale));
        // The scene's viewport is the screen in composition pixels: 1920 or 1080 one way (the
        // composition fills the screen), at least that the other.
        const QSize viewport = fittedViewport(screen);
        QVERIFY2(viewport.width() == 1920 || viewport.height() == 1080,
                 qPrintable(QString("%1x%2").arg(viewport.width()).arg(viewport.height())));
        QVERIFY(viewport.width() >= 1920 && viewport.height() >= 1080);
        QVERIFY(viewport.width() * scale >= screen.width());
        QVERIFY(viewport.height() * scale >= screen.height());
        QVERIFY(viewport.width() * scale < screen.width() + scale);
        QVERIFY(viewport.height() * scale < screen.height() + scale);
    }

    // The character at rest and risen, the backdrop, the tree row: where the 1080p frame has them,
    // scaled about the centre, and the backdrop (the whole composition) inside the screen.
    void forestPlacement_data() { addScreens(); }

    void forestPlacement()
    {
        QFETCH(QSize, screen);
        QFETCH(qreal, scale);
        QString where;
        for (const qint64 t : {0, 23000}) {
            const QVector<PaintLog::Entry> log = drawnFitted(forest, t, screen);
            const int top = t == 0 ? 350 : 50;
            QVERIFY2(landsAt(log, QSize(284, 507), QPoint(-142, top), screen, scale, &where),
                     qPrintable("character " + where));
            QVERIFY2(landsAt(log, QSize(1920, 1080), QPoint(-960, -540), screen, scale, &where),
                     qPrintable("backdrop " + where));
            QVERIFY2(landsAt(log, QSize(1920, 667), QPoint(-960, -80), screen, scale, &where),
                     qPrintable("tree row " + where));
            QVERIFY(onScreen(*imageOfSize(log, QSize(1920, 1080), scale), screen));
        }
    }

    // The grinder, the cheese tub and the falling character of the 1080p frame, scaled about the
    // centre. The tub enters from the screen's right edge and the character from its top edge,
    // so on a wider or taller screen they start further out, by the extra viewport.
    void mincePlacement_data() { addScreens(); }

    void mincePlacement()
    {
        QFETCH(QSize, screen);
        QFETCH(qreal, scale);
        const qint64 t = 3300;
        const QVector<PaintLog::Entry> log = drawnFitted(mince, t, screen);
        const QSize viewport = fittedViewport(screen);
        QString where;
        QVERIFY2(landsAt(log, QSize(680, 953), QPoint(-680, -476), screen, scale, &where),
                 qPrintable("grinder " + where));
        QVERIFY2(landsAt(log, QSize(413, 292), QPoint(viewport.width() - 3300, 200), screen, scale,
                         &where),
                 qPrintable("cheese tub " + where));
        QVERIFY2(landsAt(log, QSize(230, 411), QPoint(-455, 300 - viewport.height()), screen, scale,
                         &where),
                 qPrintable("falling character " + where));
        QVERIFY(onScreen(*imageOfSize(log, QSize(680, 953), scale), screen));
    }

    // Painted frames: every pixel painted (no gap along an edge at any scale), and the bars
    // beside or above the composition in the scene colour.
    void paintedFrames_data() { addScreens(); }

    void paintedFrames()
    {
        QFETCH(QSize, screen);
        QFETCH(qreal, scale);
        const QRect all(QPoint(0, 0), screen);
        const QRgb marker = qRgb(255, 0, 255);
        const QRgb fill = sceneColour().rgb();
        for (const qint64 t : {0, 23650, 25000, 31200}) {
            const QImage frame = fittedFrame(forest, t, screen, 2);
            QVERIFY2(count(frame, all, marker) == 0, qPrintable(QString("forest at %1").arg(t)));
        }
        for (const qint64 t : {0, 3300, 27600}) {
            const QImage frame = fittedFrame(mince, t, screen, 2);
            QVERIFY2(count(frame, all, marker) == 0, qPrintable(QString("mince at %1").arg(t)));
        }

        // Before the finale the backdrop covers the composition; beyond it there is only the
        // fill colour at the sides and above (the tree row reaches 47 px below it).
        const QImage opening = fittedFrame(forest, 0, screen, 2);
        const int side = int((screen.width() - 1920 * scale) / 2) - 2;
        const int above = int((screen.height() - 1080 * scale) / 2) - 2;
        if (side > 0) {
            const QRect left(0, 0, side, screen.height());
            const QRect right(screen.width() - side, 0, side, screen.height());
            QCOMPARE(count(opening, left, fill), side * screen.height());
            QCOMPARE(count(opening, right, fill), side * screen.height());
        }
        if (above > 0)
            QCOMPARE(count(opening, QRect(0, 0, screen.width(), above), fill),
                     above * screen.width());
        // And the composition itself is not the fill: the backdrop shows up to its edges.
        const QRect composition(int(screen.width() / 2 - 950 * scale),
                                int(screen.height() / 2 - 530 * scale), int(1900 * scale),
                                int(1060 * scale));
        QVERIFY(count(opening, composition, fill)
                < composition.width() * composition.height() / 10);
    }
};

QTEST_MAIN(TestFit)
#include "tst_fit.moc"
