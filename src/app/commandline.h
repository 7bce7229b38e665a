#ifndef COMMANDLINE_H
#define COMMANDLINE_H

#include <QSize>
#include <QString>
#include <QStringList>

// What the command line asks of the demo.
struct DemoOptions
{
    QStringList songs; // the songs and folders of songs, in playing order; none: look for one
    bool inWindow = false; // an ordinary window instead of full-screen
    QSize windowSize {1280, 720}; // logical pixels
    QString screen; // the screen's name or number; empty: the primary screen
    bool listScreens = false;
    bool loop = false;
    bool mute = false;
    bool ownTiming = false; // the scenes at their own pace, whatever the song
    bool shuffle = false; // the songs in an order of chance, each pass its own
    bool listen = false; // no music of its own: the show dances to what the computer plays
    QString source; // listening: the sound source; empty: what the computer plays
};

// The demo's command line, read with QCommandLineParser. The toolkit's own options (-platform
// and the like) are taken out by the application object before; the help, the version and
// mistakes are told apart before it exists too, so that they need no display.
class CommandLine
{
public:
    enum Result { Run, Help, HelpAll, Version, Error, AskToolkit };

    // Reads `arguments` (the program's name first). AskToolkit when they hold options that are
    // not ours but may be the toolkit's: read them again once the application object has taken
    // its own out.
    Result parse(QStringList arguments, bool toolkitOptionsRemoved);

    const DemoOptions &options() const { return demo; }
    // The help: every option and every key. Needs an application object.
    QString helpText() const;
    static QString versionText();
    // One line saying what is wrong, once parse() said Error.
    QString errorText() const { return error; }

private:
    DemoOptions demo;
    QString error;
    QString help;
};

#endif // COMMANDLINE_H
