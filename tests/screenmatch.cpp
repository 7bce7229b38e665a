// screenmatch: compares what the X screen shows with a PNG, pixel by pixel within 2 levels per
// channel. Prints what differs; exits 0 when the two match.
//   screenmatch EXPECTED.png [SAVE_SCREEN.png]

#include "imagediff.h"

#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>

#include <cstdio>

int main(int argc, char *argv[])
{
    QGuiApplication app(argc, argv);
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: screenmatch EXPECTED.png [SAVE_SCREEN.png]\n");
        return 2;
    }
    const QImage expected(QString::fromLocal8Bit(argv[1]));
    if (expected.isNull()) {
        std::fprintf(stderr, "screenmatch: cannot read %s\n", argv[1]);
        return 2;
    }
    const QImage screen = QGuiApplication::primaryScreen()->grabWindow(0).toImage();
    if (argc == 3)
        screen.save(QString::fromLocal8Bit(argv[2]));
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
