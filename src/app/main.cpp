#include "beattracker.h"
#include "commandline.h"
#include "displaypacing.h"
#include "musicbuffer.h"
#include "musiclocation.h"
#include "musicplayback.h"
#include "screenlookup.h"
#include "show.h"
#include "utf8locale.h"
#include "window.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QScreen>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
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

// How long after it starts loading the music may take before the window opens (ms): a song read
// whole by then that cannot be decoded is refused before any window opens; a longer one starts and
// plays what decodes. The toolkit starts meanwhile.
const int loadWaitMs = 100;
// How much music is loaded at least before it starts, so that it stays ahead of the sound device
// (bytes).
const qint64 headStartBytes = musicBytesPerSecond / 2;

// The music, being loaded.
struct Music
{
    std::unique_ptr<MusicBuffer> buffer;
    QString name;
    bool onBeats = false; // a song, whose beats the scenes follow
    QElapsedTimer loading;

    // A program that ends early does not wait for a pipe that gives nothing.
    ~Music() { MusicBuffer::release(std::move(buffer), 200); }

    // Whether there is nothing to play; if so, says why.
    bool refused() const
    {
        if (buffer->hasFailed())
            std::fprintf(stderr, "mincer: %s\n", qPrintable(buffer->errorString()));
        else if (buffer->hasEnded() && buffer->loadedBytes() == 0)
            std::fprintf(stderr, "mincer: %s holds no whole sample frame\n", qPrintable(name));
        else
            return false;
        return true;
    }
};

// Opens the music and starts loading it; false, having said why, when there is none to play.
bool startMusic(const DemoOptions &options, Music *music)
{
    QString error;
    const QString path = findMusic(options.music, QStringLiteral("mincer"), &error);
    std::unique_ptr<MusicSource> source;
    if (!path.isEmpty())
        source = openMusic(path, &error);
    if (!source) {
        std::fprintf(stderr, "mincer: %s\n", qPrintable(error));
        return false;
    }
    // A file is decoded whole into memory: refused up front when it cannot be held.
    const qint64 bytes = source->isFile() ? source->expectedBytes() : -1;
    const auto gigabytes = [](qint64 bytes) { return QString::number(bytes / 1e9, 'f', 1); };
    QString tooLong;
    if (!MusicBuffer::canHold(bytes))
        tooLong = QStringLiteral("%1 of music; at most %2 hours")
                      .arg(musicTime(bytes))
                      .arg(MusicBuffer::mostChunks / 3600);
    else if (const qint64 left = MusicBuffer::memoryForMusicBytes(); bytes > left)
        tooLong
            = QStringLiteral("%1 of music, %2 GB decoded; memory for %3 GB")
                  .arg(musicTime(bytes), gigabytes(bytes), gigabytes(std::max<qint64>(0, left)));
    if (!tooLong.isEmpty()) {
        std::fprintf(stderr, "mincer: %s\n",
                     qPrintable(MusicBuffer::tooLongToHold(musicName(path), tooLong)));
        return false;
    }
    const bool pipe = !source->isFile();
    if (options.loop && pipe)
        std::fprintf(stderr, "mincer: %s cannot start over; it plays once\n",
                     qPrintable(musicName(path)));
    music->name = musicName(path);
    // The beats are found in music kept whole only: a pipe's ring is recycled under the reader.
    music->onBeats = !pipe && followsBeats(path, options.ownTiming);
    music->buffer = std::make_unique<MusicBuffer>(std::move(source));
    music->buffer->startLoading();
    music->loading.start();
    // A pipe: its first sound, or its end.
    if (pipe)
        music->buffer->waitFor(musicBytesPerFrame, std::numeric_limits<int>::max());
    return !music->refused();
}

// Waits for the music as long as it may take before the window opens; false, having said why,
// when there is none to play.
bool musicReady(Music &music)
{
    music.buffer->waitFor(std::numeric_limits<qint64>::max(),
                          int(std::max<qint64>(0, loadWaitMs - music.loading.elapsed())));
    music.buffer->waitFor(headStartBytes, std::numeric_limits<int>::max());
    return !music.refused();
}

} // namespace

int main(int argc, char *argv[])
{
    // The environment is set before any thread starts: setenv is not safe beside other threads.
    takeUtf8Locale();
    requestImmediateRepaints();
    keepSystemSignals();

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
    Music music;
    if (result == CommandLine::Run && !early.options().listScreens
        && !startMusic(early.options(), &music))
        return 1;

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
    if (!music.buffer && !startMusic(options, &music))
        return 1;
    if (!musicReady(music))
        return 1;

    int status = 0;
    {
        Window window(std::make_unique<Show>(
            std::make_unique<MusicPlayback>(std::move(music.buffer), options.loop), !options.mute,
            music.onBeats));
        if (!options.screen.isEmpty())
            window.setHomeScreen(screen->name());
        if (options.inWindow) {
            window.setScreen(screen);
            window.showInWindow(options.windowSize);
        } else {
            window.showCoveringScreen(screen);
        }
        window.play();
        status = app.exec();
    }
    // The status the show decided, whatever a sound thread left inside SDL would meet at exit.
    if (MusicPlayback::soundLeftRunning()) {
        std::fflush(nullptr);
        std::_Exit(status);
    }
    return status;
}
