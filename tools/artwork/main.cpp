// mincer-artwork: paints the demo's eleven images and the contact sheet.
//
//   mincer-artwork [IMAGE_DIR [SHEET_FILE]]   write the PNGs (default: the source tree's images/
//                                             and docs/contact-sheet.png; with IMAGE_DIR alone the
//                                             sheet goes to IMAGE_DIR/contact-sheet.png)
//   mincer-artwork --check IMAGE_DIR          compare freshly painted pixels with the PNGs there

#include "artwork.h"

#include <QDir>
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

int check(const QList<Artwork> &artworks, const QString &directory)
{
    int mismatches = 0;
    for (const Artwork &artwork : artworks) {
        const QString path = QDir(directory).filePath(artwork.name + ".png");
        const QImage stored = QImage(path).convertToFormat(QImage::Format_ARGB32);
        const QImage painted = artwork.image.convertToFormat(QImage::Format_ARGB32);
        if (stored != painted) {
            std::fprintf(stderr, "mincer-artwork: %s differs from what the painter paints\n",
                         qPrintable(path));
            ++mismatches;
        }
    }
    return mismatches == 0 ? 0 : 1;
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
