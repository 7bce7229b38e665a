#include "commandline.h"

#include <QtTest>

// The demo's command line as parse() reads it: what it asks for, and what it refuses or leaves to
// the toolkit.
class TestCommandLine : public QObject
{
    Q_OBJECT

    // The options in short: the song, the window, the screen and the switches set.
    static QString describe(const DemoOptions &o)
    {
        const QSize size = o.windowSize;
        QStringList parts {o.songs.join(QLatin1Char(' ')),
                           o.inWindow
                               ? QStringLiteral("window=%1x%2").arg(size.width()).arg(size.height())
                               : QString(),
                           o.screen.isEmpty() ? QString() : QStringLiteral("screen=") + o.screen};
        parts << (o.listScreens ? "list" : "") << (o.loop ? "loop" : "") << (o.mute ? "mute" : "")
              << (o.ownTiming ? "own" : "") << (o.shuffle ? "shuffle" : "")
              << (o.listen ? "listen=" + o.source : "");
        parts.removeAll(QString());
        return parts.join(QLatin1Char(' '));
    }

private slots:
    void parse_data()
    {
        QTest::addColumn<QString>("arguments");
        QTest::addColumn<bool>("toolkitRemoved"); // whether the toolkit took its own out before
        QTest::addColumn<int>("result");
        QTest::addColumn<QString>("options"); // as describe() gives them, when Run
        const int run = CommandLine::Run, error = CommandLine::Error;
        QTest::newRow("nothing") << "" << true << run << "";
        QTest::newRow("a song") << "song.flac" << true << run << "song.flac";
        QTest::newRow("songs") << "a.flac music/ b.flac" << true << run << "a.flac music/ b.flac";
        QTest::newRow("--shuffle") << "--shuffle music/" << true << run << "music/ shuffle";
        QTest::newRow("--listen") << "--listen" << true << run << "listen=";
        QTest::newRow("--listen SOURCE") << "--listen mic" << true << run << "listen=mic";
        QTest::newRow("--listen, two sources") << "--listen a b" << true << error << "";
        QTest::newRow("--window") << "--window" << true << run << "window=1280x720";
        QTest::newRow("--window WxH") << "--window 800x600" << true << run << "window=800x600";
        QTest::newRow("--window=WxH") << "--window=800x600" << true << run << "window=800x600";
        QTest::newRow("-window WxH") << "-window 640x480" << true << run << "window=640x480";
        QTest::newRow("--window, then a song")
            << "--window song.flac" << true << run << "song.flac window=1280x720";
        QTest::newRow("--window of no size") << "--window=0x600" << true << error << "";
        QTest::newRow("--window, one side") << "--window=800" << true << error << "";
        QTest::newRow("--screen NAME") << "--screen HDMI-1" << true << run << "screen=HDMI-1";
        QTest::newRow("--screen=NUMBER") << "--screen=1" << true << run << "screen=1";
        QTest::newRow("--screen, none") << "--screen" << true << error << "";
        QTest::newRow("--screen=, none") << "--screen=" << true << error << "";
        QTest::newRow("the switches")
            << "--own-timing --mute --loop --list-screens" << true << run << "list loop mute own";
        QTest::newRow("--help") << "--help" << true << int(CommandLine::Help) << "";
        QTest::newRow("-h") << "-h" << true << int(CommandLine::Help) << "";
        QTest::newRow("--version") << "--version" << true << int(CommandLine::Version) << "";
        QTest::newRow("unknown") << "--bogus" << false << error << "";
        QTest::newRow("the toolkit's, before it took them")
            << "-platform offscreen" << false << int(CommandLine::AskToolkit) << "";
        QTest::newRow("the toolkit's, after it took them")
            << "-platform offscreen" << true << error << "";
        QTest::newRow("the toolkit's and an unknown one")
            << "--display :1 --bogus" << false << error << "";
    }

    void parse()
    {
        QFETCH(QString, arguments);
        QFETCH(bool, toolkitRemoved);
        QFETCH(int, result);
        QFETCH(QString, options);
        CommandLine line;
        const QStringList list = QStringList(QStringLiteral("mincer"))
            + arguments.split(QLatin1Char(' '), Qt::SkipEmptyParts);
        QCOMPARE(int(line.parse(list, toolkitRemoved)), result);
        if (result == CommandLine::Error)
            QVERIFY(!line.errorText().isEmpty());
        if (result == CommandLine::Run)
            QCOMPARE(describe(line.options()), options);
    }
};

QTEST_GUILESS_MAIN(TestCommandLine)
#include "tst_commandline.moc"
