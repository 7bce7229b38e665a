#include "commandline.h"
#include "displaypacing.h"
#include "musicbuffer.h"
#include "musiclocation.h"
#include "musicplayback.h"
#include "window.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QScreen>

#include <cstdio>
#include <limits>
#include <memory>

namespace {

QStringList argumentList(int argc, char *argv[])
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    return arguments;
}

int usageError(const QString &error)
{
    std::fprintf(stderr, "mincer: %s\nTry 'mincer --help' for more.\n", qPrintable(error));
    return 2;
}

// How long the music may take to load before the window opens, so that a short song that cannot
// be read is told before any window opens (ms); a longer one plays what loaded.
const int loadWaitMs = 300;
// How much music is loaded before it starts: it then stays ahead of the sound device (bytes).
const qint64 headStartBytes = musicBytesPerSecond / 2;

// Opens the music and starts loading it; null, having said why, when there is none to play.
std::unique_ptr<MusicBuffer> loadMusic(const DemoOptions &options)
{
    QString error;
    const QString path = findMusic(options.music, QStringLiteral("mincer"), &error);
    std::unique_ptr<MusicSource> source;
    if (!path.isEmpty())
        source = openMusic(path, &error);
    if (!source) {
        std::fprintf(stderr, "mincer: %s\n", qPrintable(error));
        return nullptr;
    }
    if (options.loop && !source->isFile())
        std::fprintf(stderr, "mincer: %s cannot start over; it plays once\n",
                     qPrintable(musicName(path)));
    auto music = std::make_unique<MusicBuffer>(std::move(source));
    music->startLoading();
    music->waitFor(headStartBytes, loadWaitMs);
    // A pipe that has given nothing yet: its first sound, or its end.
    music->waitFor(musicBytesPerFrame, std::numeric_limits<int>::max());
    if (music->hasFailed()) {
        std::fprintf(stderr, "mincer: %s\n", qPrintable(music->errorString()));
        return nullptr;
    }
    if (music->loadedBytes() == 0) {
        std::fprintf(stderr, "mincer: %s holds no whole sample frame\n",
                     qPrintable(musicName(path)));
        return nullptr;
    }
    return music;
}

} // namespace

int main(int argc, char *argv[])
{
    // The help, the version, mistakes and music that cannot be played are answered before the
    // toolkit starts, so without a display, unless the command line holds options that may be
    // the toolkit's.
    CommandLine early;
    const CommandLine::Result result = early.parse(argumentList(argc, argv), false);
    if (result == CommandLine::Error)
        return usageError(early.errorText());
    if (result == CommandLine::Version) {
        std::fputs(qPrintable(CommandLine::versionText()), stdout);
        return 0;
    }
    if (result == CommandLine::Help) {
        QCoreApplication core(argc, argv);
        CommandLine again;
        again.parse(QCoreApplication::arguments(), true);
        std::fputs(qPrintable(again.helpText()), stdout);
        return 0;
    }
    if (result == CommandLine::HelpAll) {
        // The toolkit's options are those of its application object on any platform.
        qputenv("QT_QPA_PLATFORM", "offscreen");
        QGuiApplication app(argc, argv);
        CommandLine().parse(QCoreApplication::arguments(), true);
        return 0;
    }
    std::unique_ptr<MusicBuffer> music;
    if (result == CommandLine::Run && !early.options().listScreens) {
        music = loadMusic(early.options());
        if (!music)
            return 1;
    }

    requestImmediateRepaints();
    QGuiApplication app(argc, argv);
    CommandLine commandLine;
    switch (commandLine.parse(QCoreApplication::arguments(), true)) {
    case CommandLine::Run:
        break;
    case CommandLine::Help:
    case CommandLine::HelpAll:
        std::fputs(qPrintable(commandLine.helpText()), stdout);
        return 0;
    case CommandLine::Version:
        std::fputs(qPrintable(CommandLine::versionText()), stdout);
        return 0;
    case CommandLine::Error:
    case CommandLine::AskToolkit:
        return usageError(commandLine.errorText());
    }
    const DemoOptions &options = commandLine.options();
    if (options.listScreens) {
        std::fputs(qPrintable(screenList()), stdout);
        return 0;
    }
    QScreen *screen = QGuiApplication::primaryScreen();
    if (!options.screen.isEmpty()) {
        screen = findScreen(options.screen);
        if (!screen) {
            std::fprintf(stderr, "mincer: no screen '%s'; the screens are:\n%s",
                         qPrintable(options.screen), qPrintable(screenList()));
            return 2;
        }
    }
    if (!music)
        music = loadMusic(options);
    if (!music)
        return 1;

    Window window(std::make_unique<MusicPlayback>(std::move(music), options.loop), !options.mute);
    if (options.inWindow) {
        window.setScreen(screen);
        window.showInWindow(options.windowSize);
    } else {
        window.showCoveringScreen(screen);
    }
    window.play();
    return app.exec();
}
