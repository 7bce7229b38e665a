// Runs `mincer-artwork --check` on a fresh paint with one image altered: a change of one level,
// which another machine's rounding may cause, passes; a change anyone could see fails, and the
// report names the image and says how much it differs.

#include <QDir>
#include <QImage>
#include <QPainter>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>

#include "imagediff.h"

enum Change {
    Unchanged,
    OneLevelUp,
    CheckerboardDown,
    BlockTwoLevels,
    Disc,
    SwappedChannels,
    RowCut,
    Removed,
    NotAnImage
};
Q_DECLARE_METATYPE(Change)

namespace {

const QStringList imageNames {"background", "foreground", "muumi1", "muumi2", "mince1",   "mince2",
                              "mince3",     "mince4",     "mince5", "mince6", "raejuusto"};

struct Result
{
    int exitCode = -1;
    QString out;
    QStringList reports; // the checker's own lines on stderr
};

Result runArtwork(const QStringList &arguments)
{
    QProcess process;
    process.start(QStringLiteral(MINCER_ARTWORK_BINARY), arguments);
    Result result;
    if (!process.waitForFinished(240000)) {
        process.kill();
        process.waitForFinished();
        return result;
    }
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    result.out = QString::fromLocal8Bit(process.readAllStandardOutput());
    // Qt may add warnings of its own (no runtime directory, ...); keep only the checker's lines.
    const QStringList lines
        = QString::fromLocal8Bit(process.readAllStandardError()).split('\n', Qt::SkipEmptyParts);
    for (const QString &line : lines)
        if (line.startsWith("mincer-artwork:"))
            result.reports.append(line);
    return result;
}

// Moves one channel value by `step` levels, the other way where that would leave 0..255.
int nudge(int value, int step)
{
    return value + step >= 0 && value + step <= 255 ? value + step : value - step;
}

QRgb nudgeAll(QRgb p, int step)
{
    return qRgba(nudge(qRed(p), step), nudge(qGreen(p), step), nudge(qBlue(p), step),
                 nudge(qAlpha(p), step));
}

// Moves every channel (straight ARGB, as the PNG stores it) of the pixels where `where` holds
// by `step` levels.
void nudgePixels(QImage &image, int step, const std::function<bool(int, int)> &where)
{
    for (int y = 0; y < image.height(); ++y) {
        auto *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x)
            if (where(x, y))
                line[x] = nudgeAll(line[x], step);
    }
}

} // namespace

class TestArtworkCheck : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void tolerance_data();
    void tolerance();

private:
    QTemporaryDir painted;
};

// One fresh paint on this machine: the committed images may already differ from it by a level.
void TestArtworkCheck::initTestCase()
{
    QVERIFY(painted.isValid());
    const Result result = runArtwork({painted.path()});
    QVERIFY2(result.exitCode == 0, qPrintable(result.reports.join('\n')));
    for (const QString &name : imageNames)
        QVERIFY2(QFileInfo::exists(painted.filePath(name + ".png")), qPrintable(name));
}

void TestArtworkCheck::tolerance_data()
{
    QTest::addColumn<QString>("name"); // the image altered
    QTest::addColumn<Change>("change");
    QTest::addColumn<bool>("passes");
    QTest::addColumn<QStringList>("reported"); // in the one failure line, or on stdout if passing

    const QString allWithinOne = "pixels differ, all within 1 level (largest channel difference 1)";
    QTest::newRow("unchanged") << "background" << Unchanged << true << QStringList();
    QTest::newRow("one level up everywhere")
        << "muumi1" << OneLevelUp << true << QStringList {"143988 " + allWithinOne};
    QTest::newRow("one level down in a checkerboard")
        << "background" << CheckerboardDown << true << QStringList {"1036800 " + allWithinOne};
    QTest::newRow("changed shape")
        << "mince2" << Disc << false << QStringList {"differ by more than 1 level"};
    QTest::newRow("changed colour")
        << "raejuusto" << SwappedChannels << false << QStringList {"differ by more than 1 level"};
    QTest::newRow("two levels in a block")
        << "foreground" << BlockTwoLevels << false
        << QStringList {": 400 of 1280640 pixels differ", "by up to 2 levels"};
    QTest::newRow("changed size") << "muumi2" << RowCut << false
                                  << QStringList {"is 284x506, the painter paints 284x507"};
    QTest::newRow("missing") << "mince6" << Removed << false << QStringList {"is missing"};
    QTest::newRow("not an image") << "mince4" << NotAnImage << false
                                  << QStringList {"cannot be read"};
}

void TestArtworkCheck::tolerance()
{
    QFETCH(QString, name);
    QFETCH(Change, change);
    QFETCH(bool, passes);
    QFETCH(QStringList, reported);

    QTemporaryDir folder;
    for (const QString &image : imageNames)
        QVERIFY(QFile::copy(painted.filePath(image + ".png"), folder.filePath(image + ".png")));
    const QString file = folder.filePath(name + ".png");
    const QImage original = QImage(file).convertToFormat(QImage::Format_ARGB32);
    QImage image = original;
    switch (change) {
    case Unchanged:
        break;
    case OneLevelUp:
        nudgePixels(image, 1, [](int, int) { return true; });
        break;
    case CheckerboardDown:
        nudgePixels(image, -1, [](int x, int y) { return (x + y) % 2 == 0; });
        break;
    case BlockTwoLevels:
        nudgePixels(image, 2, [](int x, int y) { return QRect(600, 500, 20, 20).contains(x, y); });
        break;
    case Disc: {
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        painter.setBrush(QColor(0x30, 0x39, 0x2c));
        painter.drawEllipse(QPointF(340, 480), 30, 30);
        break;
    }
    case SwappedChannels:
        image = image.rgbSwapped();
        break;
    case RowCut:
        image = image.copy(0, 0, image.width(), image.height() - 1);
        break;
    case Removed:
        QVERIFY(QFile::remove(file));
        break;
    case NotAnImage: {
        QFile broken(file);
        QVERIFY(broken.open(QIODevice::WriteOnly | QIODevice::Truncate));
        QVERIFY(broken.write("not a PNG") > 0);
        break;
    }
    }
    if (image != original)
        QVERIFY(image.save(file, "png"));

    const Result result = runArtwork({"--check", folder.path()});
    if (passes) {
        QVERIFY2(result.exitCode == 0, qPrintable(result.reports.join('\n')));
        QVERIFY2(result.reports.isEmpty(), qPrintable(result.reports.join('\n')));
        for (const QString &part : reported)
            QVERIFY2(result.out.contains(name + ".png: " + part), qPrintable(result.out));
        return;
    }
    QCOMPARE(result.exitCode, 1);
    QCOMPARE(result.reports.size(), 1);
    const QString report = result.reports.first();
    QVERIFY2(report.contains(file), qPrintable(report));
    for (const QString &part : reported)
        QVERIFY2(report.contains(part), qPrintable(report));
    // The number of pixels reported is the one this test counts between the two files.
    if (change == Disc || change == SwappedChannels) {
        const PixelDifference difference = comparePixels(original, QImage(file), 1);
        QVERIFY(difference.beyond > 100);
        QVERIFY2(report.contains(QString(": %1 of ").arg(difference.beyond)), qPrintable(report));
    }
}

QTEST_GUILESS_MAIN(TestArtworkCheck)
#include "tst_artworkcheck.moc"
