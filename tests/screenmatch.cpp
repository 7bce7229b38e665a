// screenmatch: compares what a screen shows with a PNG, pixel by pixel within 2 levels per
// channel, or finds the time of a scene that it shows. Prints what differs or the time found;
// exits 0 when the two match, 1 when they differ, 2 on errors.
//   screenmatch [--shot SCREENSHOT | --window ID] EXPECTED.png [SAVE_SCREEN.png]
//   screenmatch [--shot SCREENSHOT | --window ID] --scene N FROM TO
// Without --shot it grabs the screen of Qt's platform (X11), or the X window ID; with it, it reads
// a screenshot taken by another program. --scene draws the demo's scene N at every ms from FROM to
// TO, fitted to the screen as the demo fits it, and prints the time whose frame the screen shows.

#include "framepainter.h"
#include "imagediff.h"
#include "scenelist.h"
#include "scenesequence.h"

#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>

#include <cstdio>
#include <cstring>

static QImage readImage(const QString &path)
{
    const QImage image(path);
    if (image.isNull())
        std::fprintf(stderr, "screenmatch: cannot read %s\n", qPrintable(path));
    return image;
}

static int usage()
{
    std::fprintf(stderr,
                 "usage: screenmatch [--shot SCREENSHOT | --window ID] EXPECTED.png "
                 "[SAVE_SCREEN.png]\n"
                 "       screenmatch [--shot SCREENSHOT | --window ID] --scene N FROM TO\n");
    return 2;
}

// The time from `from` to `to` ms at which scene `index` draws what `screen` shows.
static int findTime(const QImage &screen, int index, long from, long to)
{
    const QList<Instruction *> scenes = createScenes();
    if (index < 0 || index >= scenes.size())
        return usage();
    FramePainter painter(scenes);
    QImage frame(screen.size(), QImage::Format_RGB32);
    for (long t = from; t <= to; ++t) {
        painter.draw(*scenes.at(index), t, frame);
        if (comparePixels(screen, frame, 2).beyond == 0) {
            std::printf("%ld\n", t);
            return 0;
        }
    }
    std::printf("scene %d shows it at no time from %ld to %ld ms\n", index, from, to);
    return 1;
}

int main(int argc, char *argv[])
{
    // A screenshot taken by another program needs no display.
    if (argc > 1 && std::strcmp(argv[1], "--shot") == 0)
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    QStringList arguments = QCoreApplication::arguments().mid(1);
    QImage screen;
    if (arguments.value(0) == QLatin1String("--shot")) {
        if (arguments.size() < 2)
            return usage();
        screen = readImage(arguments.at(1));
        arguments = arguments.mid(2);
    } else {
        WId window = 0;
        if (arguments.value(0) == QLatin1String("--window")) {
            window = arguments.value(1).toULongLong(nullptr, 0);
            arguments = arguments.mid(2);
        }
        screen = QGuiApplication::primaryScreen()->grabWindow(window).toImage();
    }
    if (screen.isNull())
        return 2;
    screen = screen.convertToFormat(QImage::Format_RGB32);
    if (arguments.value(0) == QLatin1String("--scene")) {
        if (arguments.size() != 4)
            return usage();
        return findTime(screen, arguments.at(1).toInt(), arguments.at(2).toLong(),
                        arguments.at(3).toLong());
    }
    if (arguments.isEmpty() || arguments.size() > 2)
        return usage();
    if (arguments.size() == 2)
        screen.save(arguments.at(1));
    const QImage expected = readImage(arguments.at(0));
    if (expected.isNull())
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
