#include <QDir>
#include <QImage>
#include <QResource>
#include <QtTest>

#include <algorithm>

// The compiled-in image bundle: what it holds, in which format, and the measured properties of
// the pictures that the two scenes' layouts rely on.
class TestResources : public QObject
{
    Q_OBJECT

private:
    static QImage load(const char *name)
    {
        return QImage(QStringLiteral(":/resources/") + QLatin1String(name))
            .convertToFormat(QImage::Format_ARGB32);
    }

    static int alpha(const QImage &image, int x, int y) { return qAlpha(image.pixel(x, y)); }

    // Pixels in rect whose alpha satisfies the predicate.
    template<typename Predicate>
    static int countAlpha(const QImage &image, const QRect &rect, Predicate predicate)
    {
        int count = 0;
        for (int y = rect.top(); y <= rect.bottom(); ++y)
            for (int x = rect.left(); x <= rect.right(); ++x)
                count += predicate(alpha(image, x, y)) ? 1 : 0;
        return count;
    }

    // The bounding rectangle of the pixels in which two images differ.
    static QRect difference(const QImage &a, const QImage &b)
    {
        QRect box;
        for (int y = 0; y < a.height(); ++y)
            for (int x = 0; x < a.width(); ++x)
                if (a.pixel(x, y) != b.pixel(x, y))
                    box |= QRect(x, y, 1, 1);
        return box;
    }

    // The bounding rectangle of the fully opaque pixels.
    static QRect opaqueBounds(const QImage &image)
    {
        QRect box;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                if (alpha(image, x, y) == 255)
                    box |= QRect(x, y, 1, 1);
        return box;
    }

    // Mean position of the crank's wooden grip (warm brown pixels left of the body), or a null
    // point when there is none.
    static QPointF gripCentre(const QImage &frame)
    {
        double sumX = 0, sumY = 0;
        int n = 0;
        for (int y = 0; y < frame.height(); ++y) {
            for (int x = 0; x < 300; ++x) {
                const QRgb p = frame.pixel(x, y);
                if (qAlpha(p) == 255 && qRed(p) > qGreen(p) + 25 && qGreen(p) > qBlue(p) + 15)
                    sumX += x, sumY += y, ++n;
            }
        }
        return n > 500 ? QPointF(sumX / n, sumY / n) : QPointF();
    }

private slots:
    void images_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QSize>("size");
        QTest::newRow("background") << "background" << QSize(1920, 1080);
        QTest::newRow("foreground") << "foreground" << QSize(1920, 667);
        QTest::newRow("muumi1") << "muumi1" << QSize(284, 507);
        QTest::newRow("muumi2") << "muumi2" << QSize(284, 507);
        for (int i = 1; i <= 6; ++i) {
            const QByteArray name = "mince" + QByteArray::number(i);
            QTest::newRow(name) << QString(name) << QSize(680, 953);
        }
        QTest::newRow("raejuusto") << "raejuusto" << QSize(413, 292);
    }

    // Each image is at its extension-less path with its size and an alpha channel, stored
    // uncompressed as an 8-bit RGBA, non-interlaced PNG.
    void images()
    {
        QFETCH(QString, name);
        QFETCH(QSize, size);
        const QString path = QStringLiteral(":/resources/") + name;

        const QImage image(path);
        QVERIFY(!image.isNull());
        QCOMPARE(image.size(), size);
        QVERIFY(image.hasAlphaChannel());

        const QResource resource(path);
        QVERIFY(resource.isValid());
        QVERIFY(QFileInfo(path).isFile());
        QCOMPARE(resource.compressionAlgorithm(), QResource::NoCompression);
        const QByteArray data(reinterpret_cast<const char *>(resource.data()),
                              int(resource.size()));
        QVERIFY(data.size() > 33);
        QCOMPARE(data.left(8), QByteArray("\x89PNG\r\n\x1a\n", 8));
        QCOMPARE(data.mid(12, 4), QByteArray("IHDR"));
        QCOMPARE(int(quint8(data.at(24))), 8); // bits per channel
        QCOMPARE(int(quint8(data.at(25))), 6); // colour type: RGBA
        QCOMPARE(int(quint8(data.at(28))), 0); // no interlacing
    }

    // The bundle's one directory holds exactly these eleven names.
    void directory()
    {
        QStringList expected {"background", "foreground", "muumi1", "muumi2", "mince1",   "mince2",
                              "mince3",     "mince4",     "mince5", "mince6", "raejuusto"};
        expected.sort();
        QStringList listed = QDir(QStringLiteral(":/resources")).entryList(QDir::Files);
        listed.sort();
        QCOMPARE(listed, expected);
    }

    void unknownPaths_data()
    {
        QTest::addColumn<QString>("path");
        QTest::newRow("unknown name") << ":/resources/missing";
        QTest::newRow("with extension") << ":/resources/muumi1.png";
        QTest::newRow("outside the directory") << ":/muumi1";
        QTest::newRow("the directory itself") << ":/resources";
        QTest::newRow("empty name") << ":/resources/";
    }

    void unknownPaths()
    {
        QFETCH(QString, path);
        const QImage image(path);
        QVERIFY(image.isNull());
        QCOMPARE(image.size(), QSize(0, 0));
    }

    // Semi-transparent throughout, alpha mostly about 200, with some fully transparent gaps.
    void backgroundAlpha()
    {
        const QImage image = load("background");
        QVector<int> histogram(256);
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                ++histogram[alpha(image, x, y)];
        const int total = image.width() * image.height();
        int median = 0;
        for (int seen = 0; seen + histogram[median] <= total / 2; seen += histogram[median++]) { }
        QVERIFY2(median >= 185 && median <= 215, qPrintable(QString::number(median)));
        int nearMedian = 0;
        for (int a = 180; a <= 220; ++a)
            nearMedian += histogram[a];
        QVERIFY(nearMedian > total * 9 / 10);
        QVERIFY(histogram[255] < total / 100); // nowhere fully opaque to speak of
        QVERIFY(histogram[0] > total / 1000); // gaps exist...
        QVERIFY(histogram[0] < total / 10); // ...but only a few
    }

    // The sky over the middle third, between the two tree groups, is open down to the bushes.
    void foregroundSky()
    {
        const QImage image = load("foreground");
        const QRect sky(640, 0, 640, 370);
        QCOMPARE(countAlpha(image, sky, [](int a) { return a != 0; }), 0);
        // The tree groups: crowns fill the left and right thirds' upper parts.
        for (const QRect &group : {QRect(0, 0, 640, 300), QRect(1280, 0, 640, 300)})
            QVERIFY(countAlpha(image, group, [](int a) { return a == 255; }) > 640 * 300 / 3);
    }

    // The bushes run the full width, opaque from row 480 down; in the character's columns
    // (818 to 1102) they turn opaque between rows 380 and 480, so that at rest only the top of
    // the character's head (at row 430) shows above them.
    void foregroundBushes()
    {
        const QImage image = load("foreground");
        QCOMPARE(countAlpha(image, QRect(0, 480, 1920, 187), [](int a) { return a != 255; }), 0);
        int highest = image.height(), lowest = 0;
        for (int x = 818; x <= 1102; ++x) {
            int y = 0;
            while (y < image.height() && alpha(image, x, y) != 255)
                ++y;
            highest = std::min(highest, y);
            lowest = std::max(lowest, y);
        }
        QVERIFY2(highest >= 380, qPrintable(QString::number(highest)));
        QVERIFY2(lowest <= 480, qPrintable(QString::number(lowest)));
        QVERIFY2(lowest > 430, "the character's head must peek out somewhere");
    }

    void characters_data()
    {
        QTest::addColumn<QString>("name");
        QTest::newRow("standing") << "muumi1";
        QTest::newRow("waving") << "muumi2";
    }

    // A white figure on transparent ground: most of its opaque pixels are near white.
    void characters()
    {
        QFETCH(QString, name);
        const QImage image = load(name.toLatin1());
        int opaque = 0, white = 0;
        for (int y = 0; y < image.height(); ++y) {
            for (int x = 0; x < image.width(); ++x) {
                const QRgb p = image.pixel(x, y);
                if (qAlpha(p) != 255)
                    continue;
                ++opaque;
                white += std::min({qRed(p), qGreen(p), qBlue(p)}) >= 200 ? 1 : 0;
            }
        }
        QVERIFY(opaque > image.width() * image.height() / 3);
        QVERIFY2(white > opaque * 7 / 10,
                 qPrintable(QStringLiteral("%1 of %2").arg(white).arg(opaque)));
        for (const QPoint &corner :
             {QPoint(0, 0), QPoint(283, 0), QPoint(0, 506), QPoint(283, 506)})
            QCOMPARE(alpha(image, corner.x(), corner.y()), 0);
    }

    // The scenes centre the character by its width: the figure stands in the middle, feet near
    // the bottom edge.
    void characterPlacement()
    {
        for (const char *name : {"muumi1", "muumi2"}) {
            const QRect box = opaqueBounds(load(name));
            QVERIFY2(qAbs(box.center().x() - 142) <= 8, name);
            QVERIFY2(box.bottom() >= 480, name);
            QVERIFY2(box.top() <= 20, name);
        }
    }

    // The waving pose is the standing one but for one arm: the pixels that differ lie on one
    // side, above the hips.
    void wavingArm()
    {
        const QRect changed = difference(load("muumi1"), load("muumi2"));
        QVERIFY(!changed.isEmpty());
        QVERIFY2(changed.left() >= 160 && changed.bottom() <= 420,
                 qPrintable(QStringLiteral("%1,%2 %3x%4")
                                .arg(changed.x())
                                .arg(changed.y())
                                .arg(changed.width())
                                .arg(changed.height())));
    }

    // The six grinder frames differ only around the crank, on the left; each differs from the
    // one before.
    void grinderFrames()
    {
        QList<QImage> frames;
        for (int i = 1; i <= 6; ++i)
            frames.append(load(QByteArray("mince" + QByteArray::number(i)).constData()));
        for (int i = 1; i < 6; ++i) {
            const QRect changed = difference(frames.at(i - 1), frames.at(i));
            QVERIFY(changed.width() * changed.height() > 2000);
            QVERIFY2(changed.right() < 300, qPrintable(QString::number(changed.right())));
        }
        // Crank up in the first frame (grip high on the left), down in the last.
        const QRect high(0, 100, 180, 150), low(0, 640, 180, 150);
        auto opaque = [](int a) { return a == 255; };
        QVERIFY(countAlpha(frames.first(), high, opaque) > 2000);
        QCOMPARE(countAlpha(frames.first(), low, opaque), 0);
        QVERIFY(countAlpha(frames.last(), low, opaque) > 2000);
        QCOMPARE(countAlpha(frames.last(), high, opaque), 0);
    }

    // The crank turns half a turn through the six frames: the grip descends from frame to frame,
    // and in the middle frames, turned towards the viewer, it swings out in front of the body.
    void crankTurn()
    {
        QList<QPointF> grips;
        for (int i = 1; i <= 6; ++i) {
            grips.append(gripCentre(load(QByteArray("mince" + QByteArray::number(i)).constData())));
            QVERIFY2(!grips.last().isNull(), qPrintable(QString::number(i)));
        }
        for (int i = 1; i < 6; ++i)
            QVERIFY2(grips.at(i).y() > grips.at(i - 1).y() + 15, qPrintable(QString::number(i)));
        QVERIFY(grips.at(2).x() > grips.at(0).x() + 40);
        QVERIFY(grips.at(2).x() > grips.at(5).x() + 40);
        // Up at the start, down at the end, either side of the barrel's axis (row 440).
        QVERIFY(grips.at(0).y() < 300);
        QVERIFY(grips.at(5).y() > 580);
    }

    // Where the scene needs them: the outlet at the right edge around rows 340 to 540, where
    // the train emerges, and the hopper's mouth at row 296, where the falling character
    // vanishes: open above, solid below, across the character's columns 225 to 455.
    void grinderLayout()
    {
        const QImage image = load("mince1");
        for (int y = 345; y <= 535; ++y)
            QCOMPARE(alpha(image, 672, y), 255);
        for (int y = 400; y <= 480; ++y)
            QCOMPARE(alpha(image, 679, y), 255);
        QCOMPARE(alpha(image, 679, 300), 0);
        QCOMPARE(alpha(image, 679, 580), 0);
        auto opaque = [](int a) { return a != 0; };
        QCOMPARE(countAlpha(image, QRect(225, 0, 231, 266), opaque), 0);
        QCOMPARE(countAlpha(image, QRect(225, 296, 231, 44), [](int a) { return a != 255; }), 0);
    }

    // A blue tub under a white lid, filling its image: the greeting trails the image's right
    // edge, which must be the tub's.
    void cheeseTub()
    {
        const QImage image = load("raejuusto");
        const QRect box = opaqueBounds(image);
        QVERIFY(box.right() >= 400);
        QVERIFY(box.left() <= 12);
        QVERIFY(box.bottom() >= 280);
        auto mean = [&](const QRect &rect) {
            qint64 r = 0, g = 0, b = 0, n = 0;
            for (int y = rect.top(); y <= rect.bottom(); ++y) {
                for (int x = rect.left(); x <= rect.right(); ++x) {
                    const QRgb p = image.pixel(x, y);
                    if (qAlpha(p) == 255) {
                        r += qRed(p), g += qGreen(p), b += qBlue(p), ++n;
                    }
                }
            }
            return n ? QColor(int(r / n), int(g / n), int(b / n)) : QColor();
        };
        const QColor lid = mean(QRect(60, 25, 290, 50));
        QVERIFY2(std::min({lid.red(), lid.green(), lid.blue()}) > 190, qPrintable(lid.name()));
        const QColor tub = mean(QRect(40, 240, 330, 40));
        QVERIFY2(tub.blue() > tub.red() + 60 && tub.blue() > tub.green() + 20,
                 qPrintable(tub.name()));
    }
};

QTEST_GUILESS_MAIN(TestResources)
#include "tst_resources.moc"
