#include "forest.h"
#include "paintlog.h"
#include "window.h"

#include <QtMath>
#include <QtTest>

// Forest's frames: the fade envelope, where each image lands on the device at the timeline's edge
// times, and that the frames are the pixels of a plain drawing of the same scene time.
class TestForest : public QObject
{
    Q_OBJECT

private:
    Forest forest;

    // Where a recorded image lands: its top-left and bottom-right corners on the device.
    static QPointF topLeft(const PaintLog::Entry &e) { return e.map(e.rect.topLeft()); }
    static QPointF bottomRight(const PaintLog::Entry &e) { return e.map(e.rect.bottomRight()); }

    // The background, as loaded or composed with the fill (and, while the picture turns, with the
    // tree row: then it covers the background's and the tree row's rectangles together).
    bool isBackground(const QImage &image) const
    {
        return image.cacheKey() == forest.background.cacheKey()
            || image.cacheKey() == forest.scaled.one.backdrop.cacheKey()
            || image.cacheKey() == forest.scaled.one.turningScenery.cacheKey();
    }

    bool isMuumi(qint64 key, int pose) const
    {
        return pose == 1
            ? key == forest.muumi1.cacheKey() || key == forest.scaled.one.muumi1.cacheKey()
            : key == forest.muumi2.cacheKey() || key == forest.scaled.one.muumi2.cacheKey()
                || key == forest.scaled.one.turningMuumi.cacheKey();
    }

private slots:
    void fade_data()
    {
        QTest::addColumn<qint64>("time");
        QTest::addColumn<qint64>("length");
        QTest::addColumn<qint64>("fadeIn");
        QTest::addColumn<qint64>("fadeOut");
        QTest::addColumn<float>("expected");
        QTest::newRow("start") << qint64(0) << qint64(1000) << qint64(250) << qint64(250) << 0.0f;
        QTest::newRow("rising") << qint64(100) << qint64(1000) << qint64(250) << qint64(250)
                                << 0.4f;
        QTest::newRow("held") << qint64(500) << qint64(1000) << qint64(250) << qint64(250) << 1.0f;
        QTest::newRow("falling") << qint64(900) << qint64(1000) << qint64(250) << qint64(250)
                                 << 0.4f;
        QTest::newRow("end") << qint64(1000) << qint64(1000) << qint64(250) << qint64(250) << 0.0f;
        QTest::newRow("uneven") << qint64(50) << qint64(1000) << qint64(100) << qint64(400) << 0.5f;
        QTest::newRow("overlapping")
            << qint64(300) << qint64(600) << qint64(400) << qint64(400) << 0.5625f;
        QTest::newRow("before, not clamped")
            << qint64(-250) << qint64(1000) << qint64(250) << qint64(250) << -1.0f;
        QTest::newRow("after, not clamped")
            << qint64(1500) << qint64(1000) << qint64(250) << qint64(250) << -2.0f;
    }

    void fade()
    {
        QFETCH(qint64, time);
        QFETCH(qint64, length);
        QFETCH(qint64, fadeIn);
        QFETCH(qint64, fadeOut);
        QFETCH(float, expected);
        QCOMPARE(createFade(time, length, fadeIn, fadeOut), expected);
    }

    void geometry_data()
    {
        QTest::addColumn<qint64>("t");
        QTest::addColumn<QSize>("screen");
        QTest::addColumn<int>("muumiTop"); // px below the centre, before the finale transform
        QTest::addColumn<bool>("waving");
        QTest::addColumn<double>("degrees");
        QTest::addColumn<double>("scale");
        QTest::addColumn<double>("opacity");
        QTest::addColumn<bool>("running");

        struct Row
        {
            const char *name;
            qint64 t;
            int top;
            bool waving;
            double degrees, scale, opacity;
            bool running;
        };
        using F = Forest;
        const qint64 hop = F::hopAtMs, rise1 = F::firstRiseAtMs, rise2 = F::secondRiseAtMs,
                     spin = F::spinAtMs, fade = F::fadeAtMs;
        const int rest = F::restTopPx, risen = rest - F::riseHeightPx,
                  top = rest - 2 * F::riseHeightPx;
        const Row rows[] = {
            {"far before", -100000000, rest, false, 0, 1, 1, true},
            {"seeked back", -4000, rest, false, 0, 1, 1, true},
            {"start", 0, rest, false, 0, 1, 1, true},
            {"before hop", hop - 1, rest, false, 0, 1, 1, true},
            {"hop starts", hop, rest, false, 0, 1, 1, true},
            {"hop rising", hop + 100, rest - 40, false, 0, 1, 1, true},
            {"hop top", hop + 250, rest - F::hopHeightPx, false, 0, 1, 1, true},
            {"hop top end", hop + 750, rest - F::hopHeightPx, false, 0, 1, 1, true},
            {"hop ends", hop + 999, rest, false, 0, 1, 1, true},
            {"after hop", hop + 1000, rest, false, 0, 1, 1, true},
            {"rise 1 starts", rise1, rest, false, 0, 1, 1, true},
            {"rise 1 half", rise1 + 75, rest - 75, false, 0, 1, 1, true},
            {"rise 1 done", rise1 + 150, risen, false, 0, 1, 1, true},
            {"before rise 2", rise2 - 1, risen, false, 0, 1, 1, true},
            {"rise 2 half", rise2 + 75, risen - 75, false, 0, 1, 1, true},
            {"rise 2 done", rise2 + 150, top, false, 0, 1, 1, true},
            {"last standing", F::waveAtMs, top, false, 0, 1, 1, true},
            {"first waving", F::waveAtMs + 1, top, true, 0, 1, 1, true},
            {"finale edge", spin, top, true, 0, 1, 1, true},
            {"spin begins", spin + 100, top, true, 0.25, 1, 1, true},
            {"full size ends", spin + 200, top, true, 1, 1, 1, true},
            {"shrinking", spin + 600, top, true, 9, 1 / 3.0, 1, true},
            {"spin 25 s", spin + 1500, top, true, 56.25, 1 / 7.5, 1, true},
            {"fade begins", fade, top, true, 1296, 1 / 36.0, 1, true},
            {"half faded", fade + 500, top, true, 1482.25, 1 / 38.5, 0.5, true},
            {"faded out", fade + 1000, top, true, 1681, 1 / 41.0, 0, true},
            {"finished", fade + 1001, top, true, 1681.410025, 1 / 41.005, 0, false},
            {"far past the end", 100000000, top, true, 0, 0, 0, false},
        };
        for (const QSize screen : {QSize(1920, 1080), QSize(1365, 767)}) {
            for (const Row &r : rows) {
                QTest::addRow("%s %dx%d", r.name, screen.width(), screen.height())
                    << r.t << screen << r.top << r.waving << r.degrees << r.scale << r.opacity
                    << r.running;
            }
        }
    }

    void geometry()
    {
        QFETCH(qint64, t);
        QFETCH(QSize, screen);
        QFETCH(int, muumiTop);
        QFETCH(bool, waving);
        QFETCH(double, degrees);
        QFETCH(double, scale);
        QFETCH(double, opacity);
        QFETCH(bool, running);

        PaintLog log(screen.width(), screen.height());
        QPainter painter(&log);
        QCOMPARE(forest.draw(t, painter), running);
        painter.end();

        // The screen is first covered: by the fill colour, or before the finale by an opaque
        // picture of the still scenery.
        const PaintLog::Entry &first = log.entries.at(0);
        const QRectF covered(first.map(first.rect.topLeft()), first.map(first.rect.bottomRight()));
        QVERIFY(covered.contains(QRectF(0, 0, screen.width(), screen.height())));
        QCOMPARE(first.opacity, 1.0);
        if (first.kind == PaintLog::Entry::Fill)
            QCOMPARE(first.colour, QColor(0x30, 0x39, 0x2c));
        else
            QVERIFY(t <= Forest::spinAtMs);

        // Then the three layers, each last drawn in this order: background, character, tree row.
        int b = -1, m = -1, f = -1;
        for (int i = 1; i < log.entries.size(); ++i) {
            const qint64 key = log.entries.at(i).image.cacheKey();
            if (isBackground(log.entries.at(i).image))
                b = i;
            else if (isMuumi(key, 1) || isMuumi(key, 2))
                m = i;
            else if (key == forest.foreground.cacheKey()
                     || key == forest.scaled.one.foreground.cacheKey())
                f = i;
        }
        // While the picture turns at full opacity the tree row is part of the turning scenery.
        const PaintLog::Entry &back = log.entries.at(b);
        const bool turning = back.image.cacheKey() == forest.scaled.one.turningScenery.cacheKey();
        QVERIFY(b > 0 && b < m && (turning ? f == -1 : m < f));
        const PaintLog::Entry &muumi = log.entries.at(m);
        const PaintLog::Entry &front = log.entries.at(turning ? b : f);
        QVERIFY(isMuumi(muumi.image.cacheKey(), waving ? 2 : 1));

        // Each image's corners as the scene places them, turned about the screen's centre (its
        // integer half) by the angle and scaled.
        const QPointF centre(screen.width() / 2, screen.height() / 2);
        const double a = qDegreesToRadians(degrees);
        auto placed = [&](double x, double y) {
            return centre
                + QPointF(x * std::cos(a) - y * std::sin(a), x * std::sin(a) + y * std::cos(a))
                * scale;
        };
        auto near = [](const QPointF &p, const QPointF &q) {
            return std::abs(p.x() - q.x()) < 0.01 && std::abs(p.y() - q.y()) < 0.01;
        };
        const QSize fg = forest.foreground.size(), mu = forest.muumi1.size();
        QRect bg = forest.backgroundRect();
        if (turning)
            bg |= QRect(-fg.width() / 2, Forest::treeRowTopPx, fg.width(), fg.height());
        if (t < 100000000) {
            QVERIFY2(
                near(topLeft(back), placed(bg.left(), bg.top())),
                qPrintable(
                    QString("background at %1,%2").arg(topLeft(back).x()).arg(topLeft(back).y())));
            QVERIFY(near(bottomRight(back), placed(bg.right() + 1, bg.bottom() + 1)));
            QVERIFY2(
                near(topLeft(muumi), placed(-mu.width() / 2, muumiTop)),
                qPrintable(
                    QString("character at %1,%2").arg(topLeft(muumi).x()).arg(topLeft(muumi).y())));
            QVERIFY(near(bottomRight(muumi),
                         placed(mu.width() - mu.width() / 2, muumiTop + mu.height())));
            if (!turning) {
                QVERIFY(near(topLeft(front), placed(-fg.width() / 2, Forest::treeRowTopPx)));
                QVERIFY(
                    near(bottomRight(front),
                         placed(fg.width() - fg.width() / 2, fg.height() + Forest::treeRowTopPx)));
            }
        }
        // Opacity: painters keep it within 0..1.
        for (const PaintLog::Entry &e : {back, muumi, front})
            QVERIFY2(std::abs(e.opacity - opacity) < 1e-6, qPrintable(QString::number(e.opacity)));
    }

    // The frames at the resolution of a 4K screen scaled by 2 are those at 1920x1080, each pixel
    // doubled: the picture is centred on the logical screen.
    void scaledScreen_data()
    {
        QTest::addColumn<qint64>("t");
        QTest::newRow("opening") << qint64(0);
        QTest::newRow("risen") << qint64(Forest::waveAtMs);
    }

    void scaledScreen()
    {
        QFETCH(qint64, t);
        QImage plain(1920, 1080, QImage::Format_RGB32);
        QImage doubled(3840, 2160, QImage::Format_RGB32);
        doubled.setDevicePixelRatio(2);
        for (QImage *image : {&plain, &doubled}) {
            QPainter painter(image);
            forest.draw(t, painter);
        }
        QImage expected = plain.scaled(3840, 2160);
        expected.setDevicePixelRatio(2);
        QVERIFY(doubled == expected);
    }

    // The scene's frames are the pixels of the plain drawing below, on the window's backing-store
    // format, whatever the scene does to draw them faster: drawn by one painter as the scene was
    // first written for, painted in bands on several threads, or fitted to a 4K screen (where the
    // plain drawing is that of a screen scaled by 2). While the picture turns, its two composed
    // layers sample the images a little differently from three separate ones, and bands can move
    // a sample along their edges: there at most 0.01 % of the pixels may differ.
    void samePixels_data()
    {
        QTest::addColumn<qint64>("t");
        QTest::addColumn<QSize>("screen");
        QTest::addColumn<qreal>("ratio"); // of the plain drawing's frame
        QTest::addColumn<int>("bands"); // 0: one painter on a frame of that ratio; else fitted
        const qint64 hop = Forest::hopAtMs, rise2 = Forest::secondRiseAtMs, spin = Forest::spinAtMs,
                     fade = Forest::fadeAtMs;
        const qint64 times[] = {
            -5000,       0,          hop + 100,  rise2 + 75, spin - 100,  spin,        spin + 1,
            spin + 20,   spin + 50,  spin + 100, spin + 150, spin + 200,  spin + 201,  spin + 250,
            spin + 300,  spin + 400, spin + 600, spin + 897, spin + 1100, spin + 1500, spin + 1897,
            spin + 3500, fade,       fade + 1,   fade + 500, fade + 1000, fade + 1001};
        for (const QSize screen : {QSize(1920, 1080), QSize(1365, 767)}) {
            for (qint64 t : times)
                QTest::addRow("%lld %dx%d", t, screen.width(), screen.height())
                    << t << screen << qreal(1) << 0;
        }
        const qint64 fourK[]
            = {0, hop + 100, rise2 + 100, spin + 50, spin + 200, spin + 500, fade + 500};
        for (qint64 t : fourK)
            QTest::addRow("%lld 4K scaled by 2", qint64(t))
                << qint64(t) << QSize(3840, 2160) << qreal(2) << 0;
        const qint64 inBands[] = {-5000,       0,           hop + 100,  rise2 + 75, spin + 1,
                                  spin + 50,   spin + 100,  spin + 200, spin + 300, spin + 600,
                                  spin + 1500, spin + 3500, fade,       fade + 500, fade + 1000};
        for (int bands : {1, 2, 3}) {
            for (qint64 t : inBands)
                QTest::addRow("%lld in %d bands", t, bands)
                    << t << QSize(1920, 1080) << qreal(1) << bands;
        }
        for (qint64 t : fourK)
            QTest::addRow("%lld fitted to 4K", qint64(t))
                << qint64(t) << QSize(3840, 2160) << qreal(2) << 2;
    }

    void samePixels()
    {
        QFETCH(qint64, t);
        QFETCH(QSize, screen);
        QFETCH(qreal, ratio);
        QFETCH(int, bands);

        const QImage frame = rowFrame(forest, t, screen, ratio, bands);

        // The scene as plainly drawn: fill, centre, finale transform, the three images as loaded.
        const QImage background(":/resources/background"), foreground(":/resources/foreground"),
            muumi1(":/resources/muumi1"), muumi2(":/resources/muumi2");
        QImage expected = blankFrame(screen, ratio);
        QPainter plain(&expected);
        const int w = qRound(screen.width() / ratio), h = qRound(screen.height() / ratio);
        plain.fillRect(QRect(0, 0, w, h), QColor(0x30, 0x39, 0x2c));
        plain.translate(w / 2, h / 2);
        const float k = float(t - Forest::spinAtMs) / float(Forest::finaleStepMs);
        if (k > 0) {
            plain.rotate(k * k);
            plain.scale(std::min(1.0f / k, 1.0f), std::min(1.0f / k, 1.0f));
            plain.setOpacity(1.0f - float(t - Forest::fadeAtMs) / float(Forest::fadeMs));
        }
        const QImage &muumi = t > Forest::waveAtMs ? muumi2 : muumi1;
        plain.drawImage(QPointF(-background.width() / 2, -background.height() / 2), background);
        plain.drawImage(QPointF(-muumi.width() / 2, Forest::muumiTop(t)), muumi);
        plain.drawImage(QPointF(-foreground.width() / 2, Forest::treeRowTopPx), foreground);
        plain.end();

        const int differing = differingPixels(frame, expected);
        const bool turned = t > Forest::spinAtMs && t < forest.endTime();
        const int allowed = turned ? screen.width() * screen.height() / 10000 : 0;
        if (differing > 0)
            qInfo("%d of %d pixels differ (%.4f %%)", differing, screen.width() * screen.height(),
                  differing * 100.0 / (screen.width() * screen.height()));
        QVERIFY2(differing <= allowed,
                 qPrintable(QString("%1 pixels differ, %2 allowed").arg(differing).arg(allowed)));
    }
};

QTEST_MAIN(TestForest)
#include "tst_forest.moc"
