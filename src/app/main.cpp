#include "commandline.h"
#include "displaypacing.h"
#include "listener.h"
#include "musiclocation.h"
#include "musicplayback.h"
#include "playlist.h"
#include "screenlookup.h"
#include "show.h"
#include "songfile.h"
#include "utf8locale.h"
#include "window.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QScreen>

#include <cstdio>
#include <cstdlib>
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

// The songs to play: those named, or the demo's own music. False, having said why, when there are
// none.
bool listSongs(const DemoOptions &options, std::unique_ptr<Playlist> *list)
{
    QStringList paths = options.songs;
    if (paths.isEmpty()) {
        QString error;
        const QString own = findMusic(QString(), QStringLiteral("mincer"), &error);
        if (own.isEmpty()) {
            std::fprintf(stderr, "mincer: %s\n", qPrintable(error));
            return false;
        }
        paths.append(own);
    }
    *list = std::make_unique<Playlist>(paths, options.shuffle, options.loop);
    // A single song loops in the playback; the list does not start over for it.
    if ((*list)->songs().size() <= 1)
        *list = std::make_unique<Playlist>(paths, false, false);
    if ((*list)->songs().isEmpty()) {
        std::fprintf(stderr, "mincer: no song to play in %s\n",
                     qPrintable(paths.join(QStringLiteral(", "))));
        return false;
    }
    return true;
}

// Opens the first song of `list` that can be played, waiting for it when `wait` (as long as the
// music may take before the show starts); the songs before it are named and passed over. False,
// having said why, when none can.
bool openFirstSong(Playlist &list, bool ownTiming, bool wait, std::unique_ptr<SongFile> *song)
{
    const bool several = list.songs().size() > 1;
    for (;;) {
        QString error;
        if (!*song)
            *song = SongFile::open(list.current(), ownTiming, &error);
        if (*song && (wait ? (*song)->waitUntilReady(&error) : !(*song)->refused(&error)))
            return true;
        song->reset();
        std::fprintf(stderr, "mincer: %s%s\n", qPrintable(error), several ? "; passed over" : "");
        list.failed();
        if (!list.next()) {
            if (several)
                std::fprintf(stderr, "mincer: none of the %d songs can be played\n",
                             int(list.songs().size()));
            return false;
        }
    }
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
    // The music, or what is listened to, is refused before the toolkit starts.
    const DemoOptions &asked = early.options();
    const bool playsMusic = result == CommandLine::Run && !asked.listScreens && !asked.listen;
    std::unique_ptr<Playlist> list;
    std::unique_ptr<SongFile> first;
    if (playsMusic
        && (!listSongs(asked, &list) || !openFirstSong(*list, asked.ownTiming, false, &first)))
        return 1;
    std::unique_ptr<Listener> listener;
    if (result == CommandLine::Run && asked.listen) {
        QString error;
        listener = std::make_unique<Listener>();
        if (!listener->start(asked.source, &error)) {
            std::fprintf(stderr, "mincer: %s\n", qPrintable(error));
            return 1;
        }
    }

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
    std::unique_ptr<Show> show;
    if (options.listen) {
        if (!listener) {
            QString error;
            listener = std::make_unique<Listener>();
            if (!listener->start(options.source, &error)) {
                std::fprintf(stderr, "mincer: %s\n", qPrintable(error));
                return 1;
            }
        }
        std::fprintf(stderr, "mincer: listening to %s\n", qPrintable(listener->description()));
        show = std::make_unique<Show>(std::move(listener));
    } else {
        if (!list && !listSongs(options, &list))
            return 1;
        if (!openFirstSong(*list, options.ownTiming, true, &first))
            return 1;
        if (options.loop && first->isPipe())
            std::fprintf(stderr, "mincer: %s cannot start over; it plays once\n",
                         qPrintable(first->name()));
        show = std::make_unique<Show>(std::move(first), std::move(*list), !options.mute,
                                      options.loop, options.ownTiming);
    }

    int status = 0;
    {
        Window window(std::move(show));
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
