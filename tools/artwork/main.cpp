// mincer-artwork: paints the demo's eleven images and the contact sheet.
//
//   mincer-artwork [IMAGE_DIR [SHEET_FILE]]   write the PNGs (default: the source tree's images/
//                                             and docs/contact-sheet.png; with IMAGE_DIR alone the
//                                             sheet goes to IMAGE_DIR/contact-sheet.png)
//   mincer-artwork --check IMAGE_DIR          compare freshly painted pixels with the PNGs there,
//                                             allowing 1 level per channel

#include "artwork.h"
#include "imagediff.h"

#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QImageReader>
#include <QImageWriter>

#include <cstdio>

namespace {

bool writePng(const QImage &image, const QString &path)
{
    QImageWriter writer(path, "png");
    writer.setQuality(20); // zlib level 7: nearly the smallest files, several times faster than 9
    // Straight (non-premultiplied) alpha is what PNG stores: 8-bit RGBA, colour type 6.
    if (writer.write(image.convertToFormat(QImage::Format_ARGB32)))
        return true;
    std::fprintf(stderr, "mincer-artwork: cannot write %s: %s\n", qPrintable(path),
                 qPrintable(writer.errorString()));
    return false;
}

// Decoded pixels, not file bytes: another machine's raster engine may round a level apart.
constexpr int toleranceLevels = 1;

int check(const QList<Artwork> &artworks, const QString &directory)
{
    int failures = 0;
    for (const Artwork &artwork : artworks) {
        const QString path = QDir(directory).filePath(artwork.name + ".png");
        const QByteArray name = path.toLocal8Bit();
        const char *file = name.constData();
        if (!QFileInfo(path).isFile()) {
            std::fprintf(stderr, "mincer-artwork: %s is missing\n", file);
            ++failures;
            continue;
        }
        QImageReader reader(path);
        const QImage stored = reader.read();
        if (stored.isNull()) {
            std::fprintf(stderr, "mincer-artwork: %s cannot be read: %s\n", file,
                         qPrintable(reader.errorString()));
            ++failures;
            continue;
        }
        const QImage &painted = artwork.image;
        const PixelDifference difference = comparePixels(stored, painted, toleranceLevels);
        if (!difference.sameSize) {
            std::fprintf(stderr, "mincer-artwork: %s is %dx%d, the painter paints %dx%d\n", file,
                         stored.width(), stored.height(), painted.width(), painted.height());
            ++failures;
        } else if (difference.beyond > 0) {
            std::fprintf(stderr,
                         "mincer-artwork: %s: %d of %d pixels differ by more than %d level from "
                         "what the painter paints, by up to %d levels\n",
                         file, difference.beyond, painted.width() * painted.height(),
                         toleranceLevels, difference.largest);
            ++failures;
        } else if (difference.differing > 0) {
            std::printf("%s: %d pixels differ, all within %d level (largest channel difference "
                        "%d)\n",
                        file, difference.differing, toleranceLevels, difference.largest);
        }
    }
    return failures == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char *argv[])
{
    // Painting needs no display; only the contact sheet's labels need the font database.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const QStringList arguments = app.arguments().mid(1);

    if (arguments.value(0) == QLatin1String("--check")) {
        if (arguments.size() != 2) {
            std::fprintf(stderr, "usage: mincer-artwork --check IMAGE_DIR\n");
            return 2;
        }
        return check(paintAll(), arguments.at(1));
    }
    if (arguments.size() > 2 || arguments.value(0).startsWith(QLatin1Char('-'))) {
        std::fprintf(stderr,
                     "usage: mincer-artwork [IMAGE_DIR [SHEET_FILE]]\n"
                     "       mincer-artwork --check IMAGE_DIR\n");
        return 2;
    }

    const QString imageDir = arguments.value(0, QStringLiteral(MINCER_SOURCE_DIR "/images"));
    QString sheetFile = arguments.value(1);
    if (sheetFile.isEmpty()) {
        sheetFile = arguments.isEmpty()
            ? QStringLiteral(MINCER_SOURCE_DIR "/docs/contact-sheet.png")
            : QDir(imageDir).filePath(QStringLiteral("contact-sheet.png"));
    }
    if (!QDir().mkpath(imageDir) || !QDir().mkpath(QFileInfo(sheetFile).absolutePath())) {
        std::fprintf(stderr, "mincer-artwork: cannot create the output directories\n");
        return 1;
    }

    const QList<Artwork> artworks = paintAll();
    bool ok = true;
    for (const Artwork &artwork : artworks)
        ok = writePng(artwork.image, QDir(imageDir).filePath(artwork.name + ".png")) && ok;
    ok = writePng(paintContactSheet(artworks), sheetFile) && ok;
    return ok ? 0 : 1;
}
