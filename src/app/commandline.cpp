#include "commandline.h"

#include "pixelsize.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QRegularExpression>

#include <algorithm>

#include <unistd.h>

namespace {

const char description[] = R"(Plays the mincer demo to its music: a forest, then a meat grinder.

Each FILE is a song (WAV, FLAC, Ogg Vorbis, Opus, MP3, ...), or headerless
16-bit stereo PCM at 44100 Hz in a file named *.raw or a pipe; - reads it from
standard input; a folder stands for its songs in name order. The songs play one
after the other, each with the whole show. Without FILE: music.raw in the
current folder, else the installed music. With --listen the show plays no music:
it dances to what the computer plays, or to the sound SOURCE hears.

Keys:
  Escape              quit
  Left, Right         seek the scenes back, forward by 1 second
  Down, Up            seek the scenes back, forward by 10 seconds
  N, Page Down        the next song
  P, Page Up          the song before
  F11, F              switch between full-screen and a window)";

// The toolkit's own options (QGuiApplication's and its X11 platform's), which the application
// object takes out of the command line.
const QStringList toolkitOptions {"platform",
                                  "platformpluginpath",
                                  "platformtheme",
                                  "plugin",
                                  "qwindowgeometry",
                                  "qwindowicon",
                                  "qwindowtitle",
                                  "reverse",
                                  "session",
                                  "qmljsdebugger",
                                  "display",
                                  "name",
                                  "geometry",
                                  "title",
                                  "icon",
                                  "sync",
                                  "visual",
                                  "ncols",
                                  "cmap",
                                  "im",
                                  "inputstyle",
                                  "nograb",
                                  "dograb",
                                  "testability"};

} // namespace

CommandLine::Result CommandLine::parse(QStringList arguments, bool toolkitOptionsRemoved)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromUtf8(description));
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption helpOption = parser.addHelpOption();
    const QCommandLineOption versionOption = parser.addVersionOption();
    const QCommandLineOption window(
        "window",
        "Play in an ordinary window, 1280x720 or WIDTHxHEIGHT logical pixels "
        "(--window 800x600).",
        "WIDTHxHEIGHT");
    const QCommandLineOption screen("screen",
                                    "Play full-screen on this screen, by its name (such as "
                                    "HDMI-1) or number (see --list-screens).",
                                    "NAME|NUMBER");
    const QCommandLineOption listScreens("list-screens",
                                         "List the screens: number, name, size, refresh rate.");
    const QCommandLineOption loop("loop",
                                  "Start over when the music (the last song) ends, until Escape.");
    const QCommandLineOption shuffle("shuffle", "Play the songs in an order of chance.");
    const QCommandLineOption listen(
        "listen",
        "Play no music: dance to what the computer plays, or to what the sound source SOURCE "
        "hears (a microphone, a line-in: see 'pactl list short sources').");
    const QCommandLineOption mute("mute", "Play without sound, for the music's length.");
    const QCommandLineOption ownTiming(
        "own-timing", "Play the scenes at their own pace, not on the beats of the song.");
    parser.addOptions({window, screen, listScreens, loop, mute, ownTiming, shuffle, listen});
    parser.addPositionalArgument("FILE", "The music (default: music.raw, see above).",
                                 "[FILE...] | --listen [SOURCE]");

    // --window takes its size as --window=WxH, or as the next argument when that looks like a
    // size (--window 800x600); alone, it is the default size.
    static const QRegularExpression sizeLike(QStringLiteral("^\\d+x\\d+$"));
    for (int i = 0; i < arguments.size(); ++i) {
        if (arguments.at(i) != QLatin1String("--window")
            && arguments.at(i) != QLatin1String("-window"))
            continue;
        arguments[i] = QStringLiteral("--window=");
        if (i + 1 < arguments.size() && sizeLike.match(arguments.at(i + 1)).hasMatch())
            arguments[i] += arguments.takeAt(i + 1);
    }
    const bool parsed = parser.parse(arguments);
    if (QCoreApplication::instance())
        help = parser.helpText();
    if (!parsed) {
        error = parser.errorText();
        // Before the toolkit has taken out its own options, an unknown one may be one of them.
        if (toolkitOptionsRemoved || parser.unknownOptionNames().isEmpty())
            return Error;
        QStringList unknown = parser.unknownOptionNames();
        unknown.erase(
            std::remove_if(unknown.begin(), unknown.end(),
                           [](const QString &name) { return toolkitOptions.contains(name); }),
            unknown.end());
        if (unknown.isEmpty())
            return AskToolkit;
        error = QStringLiteral("unknown option '%1'").arg(unknown.join(QStringLiteral("', '")));
        return Error;
    }
    if (parser.isSet(QStringLiteral("help-all"))) {
        // The toolkit's options are listed by the parser itself, which then exits.
        if (QCoreApplication::instance())
            parser.process(arguments);
        return HelpAll;
    }
    if (parser.isSet(helpOption))
        return Help;
    if (parser.isSet(versionOption))
        return Version;

    const QStringList files = parser.positionalArguments();
    demo.listen = parser.isSet(listen);
    if (demo.listen) {
        if (files.size() > 1) {
            error = QStringLiteral("--listen takes one sound source at most, not %1")
                        .arg(files.join(QLatin1Char(' ')));
            return Error;
        }
        demo.source = files.value(0);
    } else {
        demo.songs = files;
    }
    if (files.count(QStringLiteral("-")) > 1) {
        error = QStringLiteral("standard input can be read once only");
        return Error;
    }
    if (demo.songs.contains(QStringLiteral("-")) && isatty(STDIN_FILENO)) {
        error = QStringLiteral("standard input is a terminal, not music; pipe the music in, as in "
                               "'ffmpeg -i song.mp3 -f s16le -ar 44100 -ac 2 - | mincer -'");
        return Error;
    }
    if (parser.isSet(window)) {
        demo.inWindow = true;
        const QString size = parser.value(window);
        if (!size.isEmpty()) {
            demo.windowSize = parsePixelSize(size);
            if (demo.windowSize.isEmpty()) {
                error = QStringLiteral("--window needs WIDTHxHEIGHT, such as 1280x720, from 1 to "
                                       "%1 pixels a side, not '%2'")
                            .arg(largestSidePx)
                            .arg(size);
                return Error;
            }
        }
    }
    demo.screen = parser.value(screen);
    if (parser.isSet(screen) && demo.screen.isEmpty()) {
        error = QStringLiteral("--screen needs a screen's name or number");
        return Error;
    }
    demo.listScreens = parser.isSet(listScreens);
    demo.loop = parser.isSet(loop);
    demo.mute = parser.isSet(mute);
    demo.ownTiming = parser.isSet(ownTiming);
    demo.shuffle = parser.isSet(shuffle);
    return Run;
}

QString CommandLine::helpText() const
{
    return help;
}

QString CommandLine::versionText()
{
    return QStringLiteral("mincer %1\n").arg(QStringLiteral(MINCER_VERSION));
}
