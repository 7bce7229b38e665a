// Runs the built demo with SDL's disk audio driver and checks what reaches the "device".

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include "musicbuffer.h"
#include "musicplayback.h"
#include "songreference.h"

#include <climits>
#include <csignal>
#include <cstring>
#include <memory>

#include <unistd.h>

static constexpr int bytesPerSecond = musicBytesPerSecond;
static constexpr int bytesPerBuffer = deviceBufferFrames * musicBytesPerFrame;

class TestPlayback : public QObject
{
    Q_OBJECT

private slots:
    void playsWholeFileThenQuits_data();
    void playsWholeFileThenQuits();
    void noMusicQuitsAtOnce_data();
    void noMusicQuitsAtOnce();
    void withoutSoundEndsAfterTheMusic_data();
    void withoutSoundEndsAfterTheMusic();
    void failedLoadPlaysWhatWasRead();
    void endsAsTheSystemSays_data();
    void endsAsTheSystemSays();
};

// Music whose bytes are never zero, so that it stands out from the silence around it.
static QByteArray pattern(int length)
{
    QByteArray bytes(length, Qt::Uninitialized);
    for (int i = 0; i < length; ++i)
        bytes[i] = char(1 + (i * 7) % 255);
    return bytes;
}

struct Run
{
    int exitCode = -1;
    bool finished = false;
    qint64 elapsedMs = 0;
    QByteArray device; // what the disk driver wrote
    QByteArray errors; // what it printed on stderr
};

// The demo, to be started in `folder`, headless, its sound going to device.raw there, in the C
// locale as services and containers start programs (its lines on stderr are the same in any).
static void prepareDemo(QProcess &demo, const QString &folder, const QString &driver = "disk")
{
    demo.setWorkingDirectory(folder);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("LANG");
    env.insert("LC_ALL", "C");
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("XDG_RUNTIME_DIR", folder); // private, as a session's is: Qt says nothing of it
    env.insert("SDL_AUDIODRIVER", driver);
    env.insert("SDL_DISKAUDIOFILE", folder + "/device.raw");
    env.insert("SDL_DISKAUDIODELAY", "20"); // ms per buffer: real time
    demo.setProcessEnvironment(env);
}

// Runs the demo in `folder`; `input` goes to its standard input, its second half `stallMs` later.
static Run runDemo(const QString &folder, const QString &driver = "disk",
                   const QStringList &arguments = {}, const QByteArray &input = QByteArray(),
                   const QString &program = MINCER_BINARY, int stallMs = 0)
{
    QProcess demo;
    prepareDemo(demo, folder, driver);

    Run run;
    QElapsedTimer clock;
    clock.start();
    demo.start(program, arguments);
    if (!input.isNull()) {
        const int half = stallMs > 0 ? input.size() / 8 * 4 : input.size();
        demo.write(input.left(half));
        while (stallMs > 0 && demo.bytesToWrite() > 0 && demo.waitForBytesWritten()) { }
        QThread::msleep(stallMs);
        demo.write(input.mid(half));
        demo.closeWriteChannel();
    }
    run.finished = demo.waitForFinished(20000);
    run.elapsedMs = clock.elapsed();
    if (!run.finished) {
        demo.kill();
        demo.waitForFinished();
    }
    run.exitCode = demo.exitStatus() == QProcess::NormalExit ? demo.exitCode() : -1;
    run.errors = demo.readAllStandardError();
    QFile device(folder + "/device.raw");
    if (device.open(QIODevice::ReadOnly))
        run.device = device.readAll();
    return run;
}

void TestPlayback::playsWholeFileThenQuits_data()
{
    QTest::addColumn<int>("length");
    QTest::addColumn<QString>("given"); // how the music is given
    QTest::addColumn<int>("stallMs"); // a pipe gives its second half this much later
    QTest::newRow("one second") << bytesPerSecond << "music.raw" << 0;
    QTest::newRow("ends in a partial buffer") << 10 * bytesPerBuffer + 1000 << "music.raw" << 0;
    QTest::newRow("shorter than a buffer") << 400 << "music.raw" << 0;
    QTest::newRow("ends in a partial frame") << 3 * bytesPerBuffer + 1002 << "music.raw" << 0;
    QTest::newRow("named") << bytesPerSecond << "named" << 0;
    // Three songs one after the other, with no gap; the missing one between is passed over.
    QTest::newRow("a list") << 3 * bytesPerSecond << "list" << 0;
    // A pipe cannot start over: --loop plays it once, and says so.
    QTest::newRow("standard input, looped") << bytesPerSecond + 2 << "-" << 0;
    // The device plays silence while the pipe gives nothing, which is no music: the show waits.
    QTest::newRow("standard input, stalled longer than its ring")
        << 2 * bytesPerSecond << "-" << int(MusicBuffer::ringChunks) * 1000 + 1000;
}

void TestPlayback::playsWholeFileThenQuits()
{
    QFETCH(int, length);
    QFETCH(QString, given);
    QFETCH(int, stallMs);
    QTemporaryDir folder;
    const QByteArray file = pattern(length);
    const QByteArray music = file.left(length / 4 * 4); // whole sample frames
    QFile written(folder.filePath(given == "music.raw" ? "music.raw" : "song.raw"));
    QVERIFY(written.open(QIODevice::WriteOnly));
    written.write(file);
    written.close();

    QStringList songs; // a list: the music in thirds, each a song
    for (int third = 0; given == "list" && third < 3; ++third) {
        QFile song(folder.filePath(QStringLiteral("%1.raw").arg(third)));
        QVERIFY(song.open(QIODevice::WriteOnly));
        song.write(music.mid(third * length / 12 * 4, length / 12 * 4));
        songs << song.fileName() << (third == 0 ? folder.filePath("none.raw") : QString());
    }
    songs.removeAll(QString());
    const Run run = given == "music.raw" ? runDemo(folder.path())
        : given == "list"                ? runDemo(folder.path(), "disk", songs)
        : given == "-"
        ? runDemo(folder.path(), "disk", {"--loop", "-"}, file, MINCER_BINARY, stallMs)
        : runDemo(folder.path(), "disk", {written.fileName()});
    length = music.size();
    QVERIFY(run.finished);
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.errors.contains("mincer: standard input cannot start over; it plays once"),
             given == "-");
    QVERIFY2((run.errors.contains("none.raw: no such file; passed over")
              && run.errors.contains("mincer: playing 3/4: 1.raw"))
                 == (given == "list"),
             run.errors.constData());
    // The music takes length / bytesPerSecond seconds to play, after a stall the rest of it; the
    // quit follows at once.
    const qint64 musicMs = stallMs > 0 ? stallMs + qint64(length / 2) * 1000 / bytesPerSecond
                                       : qint64(length) * 1000 / bytesPerSecond;
    QVERIFY2(run.elapsedMs >= musicMs - 100, qPrintable(QString::number(run.elapsedMs)));
    QVERIFY2(run.elapsedMs < musicMs + 5000, qPrintable(QString::number(run.elapsedMs)));

    // Silence, then the music byte for byte (with silence where a pipe stalled), then silence:
    // nothing stale, nothing lost.
    const QByteArray device = stallMs > 0 ? QByteArray(run.device).replace('\0', "") : run.device;
    int start = 0;
    while (start < device.size() && device.at(start) == 0)
        ++start;
    QVERIFY(device.size() >= start + length);
    QCOMPARE(device.mid(start, length), music);
    const QByteArray tail = device.mid(start + length);
    QCOMPARE(tail.count('\0'), tail.size());
}

void TestPlayback::noMusicQuitsAtOnce_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("said"); // what the line on stderr says
    QTest::newRow("missing") << "missing"
                             << "none.raw: no such file";
    QTest::newRow("empty") << "empty"
                           << "music.raw holds no whole sample frame";
    QTest::newRow("no whole sample frame") << "3 bytes"
                                           << "music.raw holds no whole sample frame";
    // A folder is a list of its songs.
    QTest::newRow("a folder") << "folder"
                              << "no song to play in ";
    QTest::newRow("unreadable") << "unreadable"
                                << "cannot read";
    QTest::newRow("empty pipe") << "pipe"
                                << "standard input holds no whole sample frame";
    QTest::newRow("none anywhere") << "nowhere"
                                   << "no music to play: none at ";
    QTest::newRow("text named .flac") << "text.flac"
                                      << "text.flac: not a song libsndfile can read";
    QTest::newRow("corrupt flac") << "corrupt.flac"
                                  << "corrupt.flac: ";
    QTest::newRow("longer than a day") << "a day and a second"
                                       << "music.raw is too long to hold (24:00:01 of music";
    QTest::newRow("none of a list") << "list"
                                    << "mincer: none of the 2 songs can be played";
    // 4 GB of music where 3 GB of address space is all there is.
    QTest::newRow("more than the memory left")
        << "4 GB"
        << "music.raw is too long to hold (6:17:55 of music, 4.0 GB decoded; memory for";
}

void TestPlayback::noMusicQuitsAtOnce()
{
    QFETCH(QString, kind);
    QFETCH(QString, said);
    QTemporaryDir folder;
    QFile file(folder.filePath("music.raw"));
    if (kind == "empty" || kind == "3 bytes" || kind == "unreadable") {
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QByteArray(kind == "empty" ? 0 : kind == "3 bytes" ? 3 : 8, '\1'));
        file.close();
        if (kind == "unreadable" && (getuid() == 0 || !file.setPermissions(QFile::WriteOwner)))
            QSKIP("root reads every file");
    } else if (kind == "a day and a second" || kind == "4 GB") {
#if defined(__SANITIZE_ADDRESS__)
        if (kind == "4 GB")
            QSKIP("AddressSanitizer needs more address space than the limit leaves");
#endif
        QVERIFY(file.open(QIODevice::WriteOnly)
                && file.resize(kind == "4 GB" ? 4'000'000'000
                                              : (longestMusicSeconds + 1) * bytesPerSecond));
    } else if (kind == "folder") {
        QVERIFY(QDir(folder.path()).mkdir("music.raw"));
    } else if (kind.endsWith(".flac")) {
        // A short song damaged in its middle is decoded whole before a window would open.
        QVERIFY(runTool("sox",
                        {"-V1", "-n", "-r", "44100", "-b", "16", folder.filePath("a.wav"), "synth",
                         "2", "sine", "100-6000"}));
        QVERIFY(makeSong(folder.filePath("a.wav"), folder.filePath(kind), {}));
        QFile song(folder.filePath(kind));
        QVERIFY(song.open(QIODevice::ReadWrite));
        QByteArray bytes = kind == "text.flac" ? "This is no song.\n" : song.readAll();
        for (int i = bytes.size() / 2; i < bytes.size() / 2 + 2000 && kind == "corrupt.flac"; ++i)
            bytes[i] = char(bytes[i] ^ 0x5a);
        QVERIFY(song.resize(0) && song.write(bytes) == bytes.size());
    }
    // The program copied out of its build folder finds no music of the build's.
    QString program = MINCER_BINARY;
    if (kind == "nowhere") {
        program = folder.filePath("mincer");
        QVERIFY(QFile::copy(MINCER_BINARY, program));
    }
    QStringList arguments = kind == "missing" ? QStringList {folder.filePath("none.raw")}
        : kind == "list" ? QStringList {folder.filePath("none.raw"), folder.filePath("no.flac")}
        : kind == "pipe" ? QStringList {"-"}
        : kind.endsWith(".flac") ? QStringList {folder.filePath(kind)}
                                 : QStringList();
    if (kind == "4 GB") {
        arguments = QStringList {"--as=3000000000", program};
        program = "prlimit";
    }
    const Run run = runDemo(folder.path(), "disk", arguments,
                            kind == "pipe" ? QByteArray("") : QByteArray(), program);
    QVERIFY(run.finished);
    QCOMPARE(run.exitCode, 1);
    const QList<QByteArray> lines = run.errors.trimmed().split('\n');
    QCOMPARE(lines.size(), kind == "list" ? 3 : 1); // a list: each song passed over, then the end
    QVERIFY2(lines.last().startsWith("mincer: ") && lines.last().contains(said.toUtf8()),
             lines.last().constData());
    QVERIFY(!QFile::exists(folder.filePath("device.raw"))); // no sound device was opened
}

// No sound device to be had, or --mute: the show runs on the monotonic clock, says why once when
// a device was wanted, and ends after the music's length, a pipe's too.
void TestPlayback::withoutSoundEndsAfterTheMusic_data()
{
    QTest::addColumn<QString>("driver");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("said");
    QTest::addColumn<int>("seconds"); // of music
    QTest::newRow("no device") << "none-such" << QStringList() << "mincer: no sound is playing ("
                               << 3;
    QTest::newRow("--mute") << "disk" << QStringList {"--mute"} << "" << 3;
    // The songs of a list follow one another without a device too.
    QTest::newRow("--mute, a list") << "disk" << QStringList {"--mute", "music.raw", "music.raw"}
                                    << "mincer: playing 1/2: music.raw" << 2;
    QTest::newRow("--mute, a pipe longer than its ring")
        << "disk" << QStringList {"--mute", "-"} << "" << int(MusicBuffer::ringChunks) + 2;
}

void TestPlayback::withoutSoundEndsAfterTheMusic()
{
    QFETCH(QString, driver);
    QFETCH(QStringList, arguments);
    QFETCH(QString, said);
    QFETCH(int, seconds);
    QTemporaryDir folder;
    const QByteArray music = pattern(seconds * bytesPerSecond);
    const bool piped = arguments.contains("-");
    QFile file(folder.filePath("music.raw"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(piped ? QByteArray() : music);
    file.close();

    const Run run = runDemo(folder.path(), driver, arguments, piped ? music : QByteArray());
    const int songs = std::max<int>(1, arguments.count("music.raw"));
    seconds *= songs;
    QVERIFY(run.finished);
    QCOMPARE(run.exitCode, 0);
    QVERIFY2(run.elapsedMs >= seconds * 1000 && run.elapsedMs < seconds * 1000 + 2000,
             qPrintable(QString::number(run.elapsedMs)));
    QStringList lines;
    for (const QByteArray &line : run.errors.split('\n')) {
        if (line.startsWith("mincer: "))
            lines << QString::fromLocal8Bit(line);
    }
    QCOMPARE(lines.size(), said.isEmpty() ? 0 : songs); // a list: a line for each song
    QVERIFY2(said.isEmpty() || lines.first().startsWith(said), qPrintable(lines.join('\n')));
    QVERIFY(!QFile::exists(folder.filePath("device.raw"))); // no device opened
}

// Music that fails to read after `good` bytes, as a song damaged after the start of the show.
class FailingSource : public MusicSource
{
public:
    explicit FailingSource(const QByteArray &good) : good(good) { }
    qint64 read(char *out, qint64 maxBytes) override
    {
        const qint64 n = std::min<qint64>(maxBytes, good.size() - done);
        std::memcpy(out, good.constData() + done, size_t(n));
        done += n;
        return n > 0 ? n : -1;
    }
    qint64 expectedBytes() const override { return 2 * good.size(); }
    bool isFile() const override { return true; }
    QString errorString() const override { return "song: damaged"; }

private:
    QByteArray good;
    qint64 done = 0;
};

// Music that fails after its start plays what was read, then silence, and is not played again.
void TestPlayback::failedLoadPlaysWhatWasRead()
{
    QTemporaryDir folder;
    qputenv("SDL_AUDIODRIVER", "disk");
    qputenv("SDL_DISKAUDIOFILE", QFile::encodeName(folder.filePath("device.raw")));
    qputenv("SDL_DISKAUDIODELAY", "0");
    const QByteArray good = pattern(3 * bytesPerBuffer + 1000);
    auto buffer = std::make_unique<MusicBuffer>(std::make_unique<FailingSource>(good));
    buffer->startLoading();
    QVERIFY(buffer->waitFor(LLONG_MAX, 5000) && buffer->hasFailed());
    QCOMPARE(buffer->lengthBytes(), qint64(good.size()));
    {
        MusicPlayback playback(std::move(buffer), true); // looping, were it whole
        playback.start();
        QString reason;
        bool opened = false;
        QTRY_VERIFY((opened = opened || playback.takeNews(&reason) == MusicPlayback::News::Opened));
        playback.playFrom(0);
        // Until the device has been handed the music and some buffers of what follows
        // it, of which only the music counts as music.
        qint64 handed = 0, music = 0;
        QTRY_VERIFY((playback.takeRequests([&](qint64, qint64 bytes, qint64 musicBytes) {
            handed += bytes;
            music += musicBytes;
        }),
                     handed >= good.size() + 4 * bytesPerBuffer));
        QCOMPARE(music, qint64(good.size()));
    }
    QFile device(folder.filePath("device.raw"));
    QVERIFY(device.open(QIODevice::ReadOnly));
    const QByteArray played = device.readAll();
    const int start = played.indexOf(good.left(64));
    QVERIFY(start >= 0);
    QCOMPARE(played.mid(start, good.size()), good);
    QCOMPARE(played.mid(start + good.size()).count('\0'), played.size() - start - good.size());
}

// An exit before the show does not wait for a pipe that gives nothing; a crash, Ctrl-C and kill
// end the demo as the system does (a core dump, status 130, 143): no handler of SDL's catches
// them. The beats are looked for in a song only, never in headerless music through a pipe.
void TestPlayback::endsAsTheSystemSays_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("signal"); // sent a second in, where the demo must not catch it; 0: none
    QTest::addColumn<int>("status"); // -1: killed by the signal
    QTest::addColumn<bool>("findsBeats"); // a thread at the beat finder's niceness (15) runs
    QTest::newRow("an unknown screen, music from a quiet pipe")
        << QStringList {"--screen", "none-such", "-"} << 0 << 2 << false;
    QTest::newRow("a crash") << QStringList() << int(SIGQUIT) << -1 << false;
    QTest::newRow("Ctrl-C, the demo's music through a pipe")
        << QStringList {"-"} << int(SIGINT) << -1 << false;
    QTest::newRow("kill, a song") << QStringList {"song.flac"} << int(SIGTERM) << -1 << true;
}

void TestPlayback::endsAsTheSystemSays()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, signal);
    QFETCH(int, status);
    QFETCH(bool, findsBeats);
    QTemporaryDir folder;
    QFile music(folder.filePath("music.raw"));
    QVERIFY(music.open(QIODevice::WriteOnly) && music.write(pattern(5 * bytesPerSecond)) > 0);
    music.close();
    // Ten minutes, so that its beats are still looked for a second in.
    if (findsBeats)
        QVERIFY(runTool("sox",
                        {"-V1", "-n", "-r", "44100", "-b", "16", folder.filePath("song.flac"),
                         "synth", "600", "sine", "100-6000"}));
    QProcess demo;
    prepareDemo(demo, folder.path());
    demo.start(MINCER_BINARY, arguments);
    demo.write(pattern(bytesPerSecond)); // a pipe's first sound, and then nothing
    while (arguments.contains("-") && demo.bytesToWrite() > 0 && demo.waitForBytesWritten()) { }
    if (signal && demo.waitForStarted()) {
        QThread::sleep(1);
        const QString process = QString("/proc/%1/").arg(demo.processId());
        QFile status(process + "status");
        QVERIFY(status.open(QIODevice::ReadOnly));
        const QByteArray lines = status.readAll();
        const QByteArray caught = lines.mid(lines.indexOf("SigCgt:") + 7, 17).trimmed();
        QVERIFY2(!(caught.toULongLong(nullptr, 16) >> (signal - 1) & 1), caught);
        bool finding = false;
        for (const QString &thread :
             QDir(process + "task").entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
            QFile stat(process + "task/" + thread + "/stat");
            // The niceness is the 19th field, the 17th after the name in brackets.
            if (stat.open(QIODevice::ReadOnly))
                finding
                    |= stat.readAll().split(')').last().simplified().split(' ').value(16) == "15";
        }
        QCOMPARE(finding, findsBeats);
        ::kill(pid_t(demo.processId()), signal);
    }
    QVERIFY(demo.waitForFinished(5000));
    QCOMPARE(demo.exitStatus() == QProcess::CrashExit ? -1 : demo.exitCode(), status);
    if (status == -1)
        QCOMPARE(demo.exitCode(), signal); // what killed it
}

QTEST_GUILESS_MAIN(TestPlayback)
#include "tst_playback.moc"
