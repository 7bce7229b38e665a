// screenmatch: compares what a screen shows with a PNG, pixel by pixel within 2 levels per
// channel. Prints what differs; exits 0 when the two match, 1 when they differ, 2 on errors.
//   screenmatch EXPECTED.png [SAVE_SCREEN.png]    grabs the screen of Qt's platform (X11)
//   screenmatch --shot SCREENSHOT EXPECTED.png    reads a screenshot taken by another program

#include "imagediff.h"

#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>

#include <cstdio>
#include <cstring>

static QImage readImage(const char *path)
{
    const QImage image(QString::fromLocal8Bit(path));
    if (image.isNull())
        std::fprintf(stderr, "screenmatch: cannot read %s\n", path);
    return image;
}

int main(int argc, char *argv[])
{
    const bool fromFile = argc == 4 && std::strcmp(argv[1], "--shot") == 0;
    if (!fromFile && (argc < 2 || argc > 3)) {
        std::fprintf(stderr,
                     "usage: screenmatch EXPECTED.png [SAVE_SCREEN.png]\n"
                     "       screenmatch --shot SCREENSHOT EXPECTED.png\n");
        return 2;
    }
    QImage screen;
    QImage expected;
    if (fromFile) {
        screen = readImage(argv[2]);
        expected = readImage(argv[3]);
    } else {
        QGuiApplication app(argc, argv);
        expected = readImage(argv[1]);
        if (expected.isNull())
            return 2;
        screen = QGuiApplication::primaryScreen()->grabWindow(0).toImage();
        if (argc == 3)
            screen.save(QString::fromLocal8Bit(argv[2]));
    }
    if (screen.isNull() || expected.isNull())
        return 2;
    const PixelDifference difference = comparePixels(screen, expected, 2);
    if (!difference.sameSize) {
        std::printf("the screen is %dx%d, the picture %dx%d\n", screen.width(), screen.height(),
                    expected.width(), expected.height());
        return 1;
    }
    std::printf("%d of %d pixels differ by more than 2 levels (by up to %d); %d differ at all\n",
                difference.beyond, screen.width() * screen.height(), difference.largest,
                difference.differing);
    return difference.beyond == 0 ? 0 : 1;
}
