#include "imagediff.h"
#include "mince.h"
#include "paintlog.h"

#include <QtTest>

// Mince's frames as the painter sees them: what is drawn, in which order and where, at the edge
// times of the timeline and far outside it, on an even and an odd screen size.
class TestMince : public QObject
{
    Q_OBJECT

private:
    Mince mince;

    // The thirty train elements' heights (px from the centre), in three strands.
    static constexpr int trainHeights[30]
        = {-130, -126, -112, -130, -112, -85, -130, -99, -59, -130, -87, -37, -130, -77, -18,
           -130, -69,  -4,   -130, -64,  6,   -130, -61, 9,   -130, -61, 8,   -130, -64, 0};

    // Draws the frame at time t and returns its log, checked for the frame's fixed structure.
    QVector<PaintLog::Entry> drawn(qint64 t, QSize screen)
    {
        PaintLog log(screen.width(), screen.height());
        QPainter painter(&log);
        const bool running = mince.draw(t, painter);
        painter.end();
        if (!running)
            qWarning("draw returned false");
        return running ? log.entries : QVector<PaintLog::Entry>();
    }

    // Top-left corner of an entry on the device, relative to the screen's integer centre.
    static QPoint at(const PaintLog::Entry &e, QSize screen)
    {
        return e.map(e.rect.topLeft()).toPoint() - QPoint(screen.width() / 2, screen.height() / 2);
    }

private slots:
    void frame_data()
    {
        QTest::addColumn<qint64>("t");
        QTest::addColumn<QSize>("screen");
        QTest::addColumn<int>("grinder"); // index into frames
        QTest::addColumn<QString>("caption"); // nothing drawn when empty

        struct Row
        {
            const char *name;
            qint64 t;
            int grinder, caption;
        };
        const qint64 tub = Mince::tubPeriodMs;
        const Row rows[] = {
            {"start", 0, 0, 0},
            {"frame 0 end", 99, 0, 0},
            {"frame 1", 100, 1, 0},
            {"frame 5", 500, 5, 0},
            {"frame 5 end", 599, 5, 0},
            {"swinging back", 600, 4, 0},
            {"back at 4 end", 699, 4, 0},
            {"back at 0", 1000, 0, 0},
            {"second cycle", 1100, 0, 0},
            {"second cycle frame 1", 1200, 1, 0},
            {"caption 0 end", tub - 1, 5, 0},
            {"caption 1", tub, 4, 1},
            {"thanks", 5 * tub, 2, 5},
            {"empty caption", 6 * tub, 3, 6},
            {"empty caption end", 7 * tub - 1, 2, 6},
            // Past the captions the last, empty one stays.
            {"past the captions", 7 * tub, 1, 6},
            {"far past", 1000000000, 0, 6},
            // Seeking back: the first caption stays and the crank keeps swinging backwards.
            {"just before", -1, 0, 0},
            {"before -99", -99, 0, 0},
            {"remainder -1", -100, 0, 0},
            {"remainder -1 end", -199, 0, 0},
            {"remainder -2", -200, 1, 0},
            {"remainder -6", -600, 5, 0},
            {"remainder -10", -1000, 1, 0},
            {"remainder 0 again", -1100, 0, 0},
            {"caption -1", -tub, 5, 0},
            {"far before", -1000000000, 1, 0},
        };
        for (const QSize screen : {QSize(1920, 1080), QSize(1365, 767)}) {
            for (const Row &r : rows) {
                QTest::addRow("%s %dx%d", r.name, screen.width(), screen.height())
                    << r.t << screen << r.grinder << mince.texts.at(r.caption);
            }
        }
    }

    void frame()
    {
        QFETCH(qint64, t);
        QFETCH(QSize, screen);
        QFETCH(int, grinder);
        QFETCH(QString, caption);
        const int w = screen.width(), h = screen.height();

        const QVector<PaintLog::Entry> log = drawn(t, screen);
        QCOMPARE(log.size(), caption.isEmpty() ? 35 : 36);
        for (const PaintLog::Entry &e : log)
            QCOMPARE(e.opacity, 1.0);

        // The background fill covers the screen.
        const PaintLog::Entry &fill = log.at(0);
        QCOMPARE(fill.kind, PaintLog::Entry::Fill);
        QCOMPARE(fill.map(fill.rect.topLeft()), QPointF(0, 0));
        QCOMPARE(fill.map(fill.rect.bottomRight()), QPointF(w, h));
        QCOMPARE(fill.colour, QColor(0x30, 0x39, 0x2c));

        // The falling character: upside down, 230 px wide, 1 px per ms from the top every second.
        const PaintLog::Entry &falling = log.at(1);
        QCOMPARE(falling.kind, PaintLog::Entry::Image);
        QCOMPARE(falling.image.width(), 230);
        QCOMPARE(falling.image.height(),
                 qRound(230.0 * mince.muumi.height() / mince.muumi.width()));
        QCOMPARE(at(falling, screen), QPoint(Mince::fallingLeftPx, int(t % Mince::fallMs) - h));

        // The train: small characters on their side, in three strands.
        for (int i = 0; i < 30; ++i) {
            const PaintLog::Entry &e = log.at(2 + i);
            QCOMPARE(e.kind, PaintLog::Entry::Image);
            QCOMPARE(e.image.height(), 50);
            QVERIFY(e.image.width() > e.image.height());
            const qint64 started = t - Mince::trainGapMs * i; // ms since element i set off
            const int x
                = Mince::trainStartPx + (started <= 0 ? 0 : int(started % Mince::trainLapMs));
            QCOMPARE(at(e, screen), QPoint(x, trainHeights[i]));
        }

        // The grinder's body mask: from the left edge to 41 px left of the centre, H tall.
        const PaintLog::Entry &mask = log.at(32);
        QCOMPARE(mask.kind, PaintLog::Entry::Fill);
        QCOMPARE(mask.colour, QColor(0x30, 0x39, 0x2c));
        QCOMPARE(mask.map(mask.rect.topLeft()), QPointF(0, h / 2 + Mince::stripTopPx));
        QCOMPARE(mask.map(mask.rect.bottomRight()) - mask.map(mask.rect.topLeft()),
                 QPointF(w / 2 + Mince::stripRightPx, h));

        // The grinder: its right edge on the centre line, centred vertically.
        const PaintLog::Entry &frame = log.at(33);
        QVERIFY(grinder >= 0 && grinder < mince.frames.size());
        QCOMPARE(frame.image.cacheKey(), mince.scaled.one.frames.at(grinder).cacheKey());
        QCOMPARE(at(frame, screen), QPoint(-frame.image.width(), -(frame.image.height() / 2)));

        // The cheese enters at the right edge + half a screen, 1 px per ms, every 5 s.
        const PaintLog::Entry &cheese = log.at(34);
        QCOMPARE(cheese.image.cacheKey(), mince.scaled.one.cheese.cacheKey());
        const int cheeseX = w - int(t % Mince::tubPeriodMs);
        QCOMPARE(at(cheese, screen), QPoint(cheeseX, Mince::tubTopPx));

        // The caption trails the cheese by 20 px: drawn once in advance, its baseline's left end
        // lands there. (What it shows is checked on rendered pixels.)
        if (!caption.isEmpty()) {
            const PaintLog::Entry &text = log.at(35);
            const int index = mince.texts.indexOf(caption);
            QCOMPARE(text.kind, PaintLog::Entry::Image);
            QCOMPARE(text.image.cacheKey(), mince.scaled.one.captions.at(index).image.cacheKey());
            QCOMPARE(at(text, screen) + mince.scaled.one.captions.at(index).baseline,
                     QPoint(cheeseX + mince.raejuusto.width() + Mince::captionGapPx,
                            Mince::captionBaselinePx));
        }
    }

    // The train's fixed points: who waits, who has come round, who shares a column.
    void train_data()
    {
        QTest::addColumn<qint64>("t");
        QTest::addColumn<QVector<int>>("xs"); // elements 0, 1, 2 and 20
        QTest::newRow("all waiting") << qint64(0) << QVector<int> {-150, -150, -150, -150};
        QTest::newRow("seeked back") << qint64(-1) << QVector<int> {-150, -150, -150, -150};
        QTest::newRow("one second") << qint64(1000) << QVector<int> {-150, 700, 550, -150};
        QTest::newRow("three seconds") << qint64(3000) << QVector<int> {-150, 700, 550, -150};
        QTest::newRow("last of element 0") << qint64(999) << QVector<int> {849, 699, 549, -150};
        QTest::newRow("element 20 sets off") << qint64(3001) << QVector<int> {-149, 701, 551, -149};
    }

    void train()
    {
        QFETCH(qint64, t);
        QFETCH(QVector<int>, xs);
        const QSize screen(1920, 1080);
        const QVector<PaintLog::Entry> log = drawn(t, screen);
        QCOMPARE(at(log.at(2 + 0), screen).x(), xs.at(0));
        QCOMPARE(at(log.at(2 + 1), screen).x(), xs.at(1));
        QCOMPARE(at(log.at(2 + 2), screen).x(), xs.at(2));
        QCOMPARE(at(log.at(2 + 20), screen).x(), xs.at(3));
    }

    // The frames are the pixels of the plain drawing below (the images as loaded, the caption drawn
    // glyph by glyph), on the window's backing-store format: drawn by one painter, in bands on
    // several threads, or fitted to a 4K screen (where the plain drawing is that of a screen
    // scaled by 2). The caption is drawn once in advance and copied, which rounds its blend in
    // another order: there pixels may differ by up to 2 levels.
    void samePixels_data()
    {
        QTest::addColumn<qint64>("t");
        QTest::addColumn<QSize>("screen");
        QTest::addColumn<qreal>("ratio"); // of the plain drawing's frame
        QTest::addColumn<int>("bands"); // 0: one painter on a frame of that ratio; else fitted
        for (const QSize screen : {QSize(1920, 1080), QSize(1365, 767)}) {
            for (qint64 t : {-1, 0, 550, 1000, 2500, 3300, 3700, 4999, 25000, 27600, 30500})
                QTest::addRow("%lld %dx%d", t, screen.width(), screen.height())
                    << t << screen << qreal(1) << 0;
        }
        for (qint64 t : {0, 3300, 26000, 27600})
            QTest::addRow("%lld 4K scaled by 2", t) << t << QSize(3840, 2160) << qreal(2) << 0;
        for (int bands : {2, 3}) {
            for (qint64 t : {0, 1000, 3300, 3700, 27600, 30500})
                QTest::addRow("%lld in %d bands", t, bands)
                    << t << QSize(1920, 1080) << qreal(1) << bands;
        }
        for (qint64 t : {0, 3300, 26000, 27600})
            QTest::addRow("%lld fitted to 4K", t) << t << QSize(3840, 2160) << qreal(2) << 2;
    }

    void samePixels()
    {
        QFETCH(qint64, t);
        QFETCH(QSize, screen);
        QFETCH(qreal, ratio);
        QFETCH(int, bands);
        const QImage frame = rowFrame(mince, t, screen, ratio, bands);

        const QImage muumi(":/resources/muumi1"), cheese(":/resources/raejuusto");
        const QImage grinder(QString(":/resources/mince%1").arg(Mince::frameIndex(t) + 1));
        const int w = qRound(screen.width() / ratio), h = qRound(screen.height() / ratio);
        const QColor fill(0x30, 0x39, 0x2c);
        QImage expected = blankFrame(screen, ratio);
        QPainter plain(&expected);
        plain.fillRect(QRect(0, 0, w, h), fill);
        plain.translate(w / 2, h / 2);
        plain.drawImage(QPointF(Mince::fallingLeftPx, int(t % Mince::fallMs) - h),
                        muumi.mirrored(false, true).scaledToWidth(230));
        const QImage small = muumi.scaledToWidth(50).transformed(QTransform().rotate(90));
        for (int i = 0; i < 30; ++i) {
            const qint64 started = t - Mince::trainGapMs * i;
            plain.drawImage(
                QPointF(Mince::trainStartPx + std::max<qint64>(started, 0) % Mince::trainLapMs,
                        trainHeights[i]),
                small);
        }
        plain.fillRect(QRect(-(w / 2), Mince::stripTopPx, w / 2 + Mince::stripRightPx, h), fill);
        plain.drawImage(QPointF(-grinder.width(), -(grinder.height() / 2)), grinder);
        const int cheeseX = w - int(t % Mince::tubPeriodMs);
        plain.drawImage(QPointF(cheeseX, Mince::tubTopPx), cheese);
        QFont font;
        font.setPixelSize(100);
        plain.setFont(font);
        plain.setPen(Qt::white);
        plain.drawText(
            QPointF(cheeseX + cheese.width() + Mince::captionGapPx, Mince::captionBaselinePx),
            mince.texts.at(Mince::captionIndex(t)));
        plain.end();

        const PixelDifference difference = comparePixels(frame, expected, 2);
        if (difference.differing > 0)
            qInfo("%d pixels differ, by up to %d levels", difference.differing, difference.largest);
        QVERIFY2(difference.beyond == 0,
                 qPrintable(QString("%1 pixels differ by more than 2 levels, up to %2")
                                .arg(difference.beyond)
                                .arg(difference.largest)));
    }

    // What the recording cannot show: the masked strip really hides the start of the train and
    // the bottom of the falling character, and the small characters lie head right (the quarter
    // turn is clockwise). Probed on a rendered frame with marked stand-in images.
    void rendered()
    {
        // A character image whose top rows are red and the rest blue.
        QImage marked(mince.muumi.size(), QImage::Format_ARGB32);
        marked.fill(Qt::blue);
        for (int y = 0; y < marked.height() / 4; ++y)
            for (int x = 0; x < marked.width(); ++x)
                marked.setPixel(x, y, qRgb(255, 0, 0));
        Mince scene;
        scene.muumi = marked;
        for (QImage &frame : scene.frames)
            frame = QImage();
        scene.scaled.one = scene.copiesAt(1);

        QImage image(1920, 1080, QImage::Format_RGB32);
        QPainter painter(&image);
        const qint64 t = 3700;
        scene.draw(t, painter);
        painter.end();
        const QPoint centre(960, 540);
        const QRgb background = qRgb(0x30, 0x39, 0x2c);
        // Element 1 runs at x = 400, y = -126 (50 px tall): its tail blue, its head red and on
        // the right.
        QCOMPARE(image.pixel(centre + QPoint(400 + 2, -126 + 25)), qRgb(0, 0, 255));
        int right = 400;
        while (image.pixel(centre + QPoint(right + 1, -126 + 25)) != background)
            ++right;
        QVERIFY(right > 450);
        QCOMPARE(image.pixel(centre + QPoint(right, -126 + 25)), qRgb(255, 0, 0));
        // Elements 27 and 29 have not set off: they wait under the mask at x = -150.
        QCOMPARE(image.pixel(centre + QPoint(-150 + 20, -130 + 25)), background);
        QCOMPARE(image.pixel(centre + QPoint(-150 + 20, 0 + 25)), background);
        // The falling character (upside down, so blue at its top) shows above the strip and is
        // hidden from there on.
        const int strip = Mince::stripTopPx, left = Mince::fallingLeftPx;
        const int fallingTop = int(t % Mince::fallMs) - 1080;
        QVERIFY(fallingTop < strip - 1 && fallingTop + 411 > strip);
        QCOMPARE(image.pixel(centre + QPoint(left + 100, strip - 1)), qRgb(0, 0, 255));
        QCOMPARE(image.pixel(centre + QPoint(left + 100, strip)), background);
    }
};

QTEST_MAIN(TestMince)
#include "tst_mince.moc"
