// The pixel comparison with a tolerance, on small hand-made images: which pixels count as
// changed, in particular nearly transparent ones, and what is reported as the largest change.

#include "imagediff.h"

#include <QtTest>

namespace {

// A 3x2 image of one colour in `format`, with the given raw pixel values (premultiplied ones for
// a premultiplied format) at the start.
QImage image(QImage::Format format, QRgb fill, const QVector<QRgb> &first = {})
{
    QImage result(3, 2, format);
    for (int i = 0; i < 6; ++i)
        result.setPixel(i % 3, i / 3, i < first.size() ? first.at(i) : fill);
    return result;
}

} // namespace

class TestImageDiff : public QObject
{
    Q_OBJECT

private slots:
    void comparePixels_data();
    void comparePixels();
};

void TestImageDiff::comparePixels_data()
{
    QTest::addColumn<QImage>("a");
    QTest::addColumn<QImage>("b");
    QTest::addColumn<int>("tolerance");
    QTest::addColumn<bool>("sameSize");
    QTest::addColumn<int>("differing");
    QTest::addColumn<int>("beyond");
    QTest::addColumn<int>("largest");

    const auto argb = QImage::Format_ARGB32;
    const auto premultiplied = QImage::Format_ARGB32_Premultiplied;
    const QRgb grey = qRgba(100, 120, 140, 200);

    QTest::newRow("identical") << image(argb, grey) << image(argb, grey) << 1 << true << 0 << 0
                               << 0;
    QTest::newRow("one level in one channel")
        << image(argb, grey) << image(argb, grey, {qRgba(100, 121, 140, 200)}) << 1 << true << 1
        << 0 << 1;
    QTest::newRow("one level, no tolerance")
        << image(argb, grey) << image(argb, grey, {qRgba(100, 121, 140, 200)}) << 0 << true << 1
        << 1 << 1;
    QTest::newRow("two levels in alpha")
        << image(argb, grey) << image(argb, grey, {grey, qRgba(100, 120, 140, 198)}) << 1 << true
        << 1 << 1 << 2;
    // Alpha 1: premultiplied red 1 against 0 is straight red 255 against 0, and invisible.
    QTest::newRow("nearly transparent, rounded a level")
        << image(premultiplied, 0, {qRgba(1, 0, 0, 1)})
        << image(premultiplied, 0, {qRgba(0, 0, 0, 1)}) << 1 << true << 1 << 0 << 255;
    QTest::newRow("transparent, another hidden colour")
        << image(argb, qRgba(0, 0, 0, 0)) << image(argb, qRgba(10, 200, 30, 0)) << 1 << true << 6
        << 0 << 200;
    // At alpha 3 a colour jump of 100 levels is 1 level premultiplied, but an alpha 2 levels
    // apart is a change.
    QTest::newRow("nearly transparent, colour and alpha changed")
        << image(argb, qRgba(0, 0, 0, 3))
        << image(argb, qRgba(0, 0, 0, 3), {qRgba(100, 0, 0, 3), qRgba(0, 0, 0, 5)}) << 1 << true
        << 2 << 1 << 2;
    // Only the changes beyond the tolerance count towards the largest once there are any.
    QTest::newRow("largest among the changes beyond")
        << image(argb, 0, {qRgba(0, 0, 0, 1), qRgba(0, 0, 0, 255)})
        << image(argb, 0, {qRgba(255, 0, 0, 1), qRgba(0, 0, 9, 255)}) << 1 << true << 2 << 1 << 9;
    QTest::newRow("opaque pixels in another format")
        << image(QImage::Format_RGB32, qRgb(1, 2, 3)) << image(argb, qRgba(1, 2, 3, 255)) << 0
        << true << 0 << 0 << 0;
    QTest::newRow("another size") << image(argb, grey) << QImage(3, 3, argb) << 1 << false << 0 << 0
                                  << 0;
}

void TestImageDiff::comparePixels()
{
    QFETCH(QImage, a);
    QFETCH(QImage, b);
    QFETCH(int, tolerance);
    const PixelDifference difference = ::comparePixels(a, b, tolerance);
    QTEST(difference.sameSize, "sameSize");
    QTEST(difference.differing, "differing");
    QTEST(difference.beyond, "beyond");
    QTEST(difference.largest, "largest");
}

QTEST_GUILESS_MAIN(TestImageDiff)
#include "tst_imagediff.moc"
