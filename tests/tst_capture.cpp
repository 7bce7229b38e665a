// Runs the built mincer-capture in temporary folders: videos checked with ffprobe, single frames
// against the sequence drawn here, storyboard sizes, failures, and the Debian package (with
// lintian).

#include "scenelist.h"
#include "framepainter.h"
#include "instruction.h"
#include "musicsource.h"
#include "scenesequence.h"
#include "songreference.h"

#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPainter>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

class TestCapture : public QObject
{
    Q_OBJECT

private slots:
    void video_data();
    void video();
    void stillMatchesSequence_data();
    void stillMatchesSequence();
    void frames();
    void storyboardSize_data();
    void storyboardSize();
    void badInputFailsCleanly_data();
    void badInputFailsCleanly();
    void interruptedVideoLeavesNothing();
    void installPrefix();
    void package();
};

static QString buildDir()
{
    return QFileInfo(QStringLiteral(MINCER_BINARY)).absolutePath();
}

static QString capturePath()
{
    return buildDir() + QStringLiteral("/mincer-capture");
}

struct Result
{
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

static Result run(const QString &program, const QStringList &arguments, const QString &folder,
                  int timeoutMs = 120000)
{
    QProcess process;
    process.setWorkingDirectory(folder);
    process.start(program, arguments);
    Result result;
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished();
        result.err = "timed out";
        return result;
    }
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    result.out = process.readAllStandardOutput();
    result.err = process.readAllStandardError();
    return result;
}

static Result capture(const QStringList &arguments, const QString &folder, int timeoutMs = 120000)
{
    return run(capturePath(), arguments, folder, timeoutMs);
}

// Music whose samples are never silent, `seconds` long.
static void writeMusic(const QString &path, double seconds)
{
    QByteArray bytes(int(seconds * musicBytesPerSecond) / 4 * 4, Qt::Uninitialized);
    for (int i = 0; i < bytes.size(); ++i)
        bytes[i] = char(1 + (i * 7) % 255);
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(bytes), qint64(bytes.size()));
}

static QStringList entries(const QString &folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot,
                                  QDir::Name);
}

// What ffprobe says of the file: "format_duration", and per stream type "video_codec_name",
// "audio_duration", "video_nb_read_frames", ...
static QMap<QString, QString> probe(const QString &file)
{
    QProcess ffprobe;
    ffprobe.start("ffprobe",
                  {"-v", "error", "-count_frames", "-show_entries",
                   "format=duration:stream=codec_type,codec_name,duration,nb_read_frames", "-of",
                   "json", file});
    ffprobe.waitForFinished(60000);
    const QJsonObject json = QJsonDocument::fromJson(ffprobe.readAllStandardOutput()).object();
    QMap<QString, QString> values;
    values["format_duration"] = json["format"].toObject()["duration"].toString();
    for (const QJsonValue &stream : json["streams"].toArray()) {
        const QJsonObject fields = stream.toObject();
        const QString type = fields["codec_type"].toString();
        for (auto field = fields.begin(); field != fields.end(); ++field)
            values[type + "_" + field.key()] = field.value().toVariant().toString();
    }
    return values;
}

void TestCapture::video_data()
{
    QTest::addColumn<double>("musicSeconds");
    QTest::addColumn<QStringList>("extra");
    QTest::addColumn<int>("frames");
    QTest::addColumn<double>("seconds");
    QTest::addColumn<QString>("music");

    // 1.5 s of music at 30 fps: the video is as long as the music.
    QTest::newRow("as long as the music")
        << 1.5 << QStringList {"--fps", "30"} << 45 << 1.5 << "tune.raw";
    // A part of a longer piece: cut at the given length.
    QTest::newRow("duration cuts the music")
        << 3.0 << QStringList {"--fps", "25", "--duration", "1"} << 25 << 1.0 << "tune.raw";
    // Longer than the music: the audio goes on as silence to the end of the video.
    QTest::newRow("duration beyond the music")
        << 0.5 << QStringList {"--fps", "20", "--duration", "1.2"} << 24 << 1.2 << "tune.raw";
    // A song at another rate: its decode is the video's sound, in step from the first frame.
    QTest::newRow("a song") << 1.5 << QStringList {"--fps", "30"} << 45 << 1.5 << "tune.flac";
}

void TestCapture::video()
{
    QFETCH(double, musicSeconds);
    QFETCH(QStringList, extra);
    QFETCH(int, frames);
    QFETCH(double, seconds);
    QFETCH(QString, music);
    if (QStandardPaths::findExecutable("ffmpeg").isEmpty()
        || QStandardPaths::findExecutable("ffprobe").isEmpty())
        QSKIP("ffmpeg and ffprobe are needed");

    QTemporaryDir folder, songs;
    if (music.endsWith(".raw")) {
        writeMusic(folder.filePath(music), musicSeconds);
    } else {
        QVERIFY(runTool("sox",
                        {"-V1", "-n", "-r", "48000", "-b", "16", songs.filePath("sweep.wav"),
                         "synth", QString::number(musicSeconds), "sine", "100-6000", "sine",
                         "300-9000", "gain", "-3"}));
        QVERIFY(makeSong(songs.filePath("sweep.wav"), folder.filePath(music), {}));
    }
    const Result result
        = capture(QStringList {"--video", "out.mp4", "--music", music, "--size", "160x90"} + extra,
                  folder.path());
    QVERIFY2(result.exitCode == 0, result.err.constData());
    // The achieved rate is reported at the end.
    QVERIFY2(result.err.contains("fps"), result.err.constData());
    QCOMPARE(entries(folder.path()), QStringList({"out.mp4", music}));
    if (!music.endsWith(".raw")) {
        // The sound track, decoded, against the song's own decode: AAC keeps it 33 dB clear,
        // a sample early or late only 8 dB.
        const QString track = songs.filePath("track.raw");
        QVERIFY(runTool("ffmpeg",
                        {"-v", "error", "-i", folder.filePath("out.mp4"), "-f", "s16le", "-ar",
                         "44100", "-ac", "2", track}));
        QFile decoded(track);
        QVERIFY(decoded.open(QIODevice::ReadOnly));
        const QByteArray reference = referenceDecode(folder.filePath(music));
        const double clearDb = snrDb(decoded.readAll(), reference, reference.size());
        QVERIFY2(clearDb > 25, qPrintable(QString::number(clearDb)));
    }

    const QMap<QString, QString> info = probe(folder.filePath("out.mp4"));
    QCOMPARE(info.value("video_codec_name"), QString("h264"));
    QCOMPARE(info.value("video_nb_read_frames").toInt(), frames);
    QCOMPARE(info.value("audio_codec_name"), QString("aac"));
    // Audio and video both start at 0 and end together, within one AAC frame (23 ms).
    QVERIFY2(qAbs(info.value("format_duration").toDouble() - seconds) < 0.03,
             qPrintable(info.value("format_duration")));
    QVERIFY2(qAbs(info.value("audio_duration").toDouble() - seconds) < 0.03,
             qPrintable(info.value("audio_duration")));
}

void TestCapture::stillMatchesSequence_data()
{
    QTest::addColumn<qint64>("atMs");
    QTest::addColumn<QSize>("size");
    QTest::addColumn<int>("scene");
    QTest::addColumn<long>("sceneTime");

    QTest::newRow("first scene, full size") << qint64(14250) << QSize(1920, 1080) << 0 << 14250L;
    QTest::newRow("first scene fitted to a laptop")
        << qint64(14250) << QSize(1366, 768) << 0 << 14250L;
    QTest::newRow("first scene spinning") << qint64(26000) << QSize(480, 270) << 0 << 26000L;
    // The forest has faded out at 31701 ms of music, where the grinder starts.
    QTest::newRow("first scene's last ms") << qint64(31700) << QSize(480, 270) << 0 << 31700L;
    QTest::newRow("second scene starts") << qint64(31701) << QSize(480, 270) << 1 << 0L;
    QTest::newRow("second scene") << qint64(40000) << QSize(320, 200) << 1 << 8299L;
}

void TestCapture::stillMatchesSequence()
{
    QFETCH(qint64, atMs);
    QFETCH(QSize, size);
    QFETCH(int, scene);
    QFETCH(long, sceneTime);

    const QList<Instruction *> scenes = createScenes();
    QTemporaryDir folder;
    const Result result
        = capture({"--at", QString::number(atMs), "--size",
                   QStringLiteral("%1x%2").arg(size.width()).arg(size.height()), "-o", "still.png"},
                  folder.path());
    QVERIFY2(result.exitCode == 0, result.err.constData());
    const QImage still(folder.filePath("still.png"));
    QCOMPARE(still.size(), size);

    // Frames are fitted to their size and painted in bands, as the window paints them.
    QImage expected(size, QImage::Format_RGB32);
    expected.fill(Qt::black);
    FramePainter painter(scenes);
    painter.draw(*scenes.at(scene), sceneTime, expected);
    QCOMPARE(still.convertToFormat(QImage::Format_RGB32), expected);
}

void TestCapture::frames()
{
    QTemporaryDir folder;
    QVERIFY(QDir(folder.path()).mkdir("empty"));
    // Into a new directory, and into an existing empty one.
    for (const QString &name : {QStringLiteral("new"), QStringLiteral("empty")}) {
        const Result result
            = capture({"--frames", name, "--duration", "0.5", "--fps", "8", "--size", "64x36"},
                      folder.path());
        QVERIFY2(result.exitCode == 0, result.err.constData());
        const QString dir = folder.filePath(name);
        QCOMPARE(entries(dir),
                 QStringList({"frame-000000.png", "frame-000001.png", "frame-000002.png",
                              "frame-000003.png"}));
        QCOMPARE(QImage(dir + "/frame-000003.png").size(), QSize(64, 36));
    }
    QCOMPARE(entries(folder.path()), QStringList({"empty", "new"}));
}

void TestCapture::storyboardSize_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QSize>("expected");

    // Thumbnails 320 pixels wide, 8 pixel gaps, a 22 pixel label strip under each.
    // 2 s every 0.5 s: 4 thumbnails of 320x180 in one row.
    QTest::newRow("one row") << QStringList {"--size", "320x180", "--duration",
                                             "2",      "--every", "0.5"}
                             << QSize(4 * 328 + 8, 180 + 22 + 8 + 8);
    // 10 thumbnails in 3 columns: 4 rows.
    QTest::newRow("rows") << QStringList {"--size",  "640x360", "--duration", "10",
                                          "--every", "1",       "--columns",  "3"}
                          << QSize(3 * 328 + 8, 4 * (180 + 22 + 8) + 8);
    // A 4:3 frame gives 320x240 thumbnails; 7 s every 5 s (the default): at 0 and 5 s.
    QTest::newRow("aspect") << QStringList {"--size", "400x300", "--duration", "7"}
                            << QSize(2 * 328 + 8, 240 + 22 + 8 + 8);
}

void TestCapture::storyboardSize()
{
    QFETCH(QStringList, arguments);
    QFETCH(QSize, expected);

    QTemporaryDir folder;
    const Result result
        = capture(QStringList {"--storyboard", "board.png"} + arguments, folder.path());
    QVERIFY2(result.exitCode == 0, result.err.constData());
    const QImage board(folder.filePath("board.png"));
    QCOMPARE(board.size(), expected);
}

void TestCapture::badInputFailsCleanly_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("message");

    QTest::newRow("unknown option") << QStringList {"--at", "0", "--bogus"} << "bogus";
    QTest::newRow("no output") << QStringList {"--fps", "30"} << "choose one";
    QTest::newRow("two outputs") << QStringList {"--at", "0", "--null"} << "choose one";
    QTest::newRow("stray argument") << QStringList {"--at", "0", "extra"} << "extra";
    QTest::newRow("fps zero") << QStringList {"--at", "0", "--fps", "0"} << "--fps";
    QTest::newRow("fps negative") << QStringList {"--at", "0", "--fps", "-30"} << "--fps";
    QTest::newRow("fps not a number") << QStringList {"--at", "0", "--fps", "sixty"} << "--fps";
    QTest::newRow("fps fraction") << QStringList {"--at", "0", "--fps", "29.97"} << "--fps";
    QTest::newRow("size zero") << QStringList {"--at", "0", "--size", "0x100"} << "--size";
    QTest::newRow("size negative") << QStringList {"--at", "0", "--size", "-64x36"} << "--size";
    QTest::newRow("size garbled") << QStringList {"--at", "0", "--size", "64by36"} << "--size";
    QTest::newRow("size huge") << QStringList {"--at", "0", "--size", "99999x10"} << "--size";
    QTest::newRow("duration zero") << QStringList {"--null", "--duration", "0"} << "--duration";
    QTest::newRow("duration text") << QStringList {"--null", "--duration", "long"} << "--duration";
    QTest::newRow("at negative") << QStringList {"--at", "-5"} << "--at";
    QTest::newRow("at text") << QStringList {"--at", "soon"} << "--at";
    QTest::newRow("every zero") << QStringList {"--storyboard", "b.png", "--duration", "1",
                                                "--every",      "0"}
                                << "--every";
    QTest::newRow("missing value") << QStringList {"--at"} << "--at";
    QTest::newRow("odd video size")
        << QStringList {"--video", "v.mp4", "--music", "tune.raw", "--size", "65x36"} << "even";
    QTest::newRow("video without music")
        << QStringList {"--video", "v.mp4", "--music", "absent.raw", "--size", "64x36"}
        << "absent.raw";
    QTest::newRow("ffmpeg missing")
        << QStringList {"--video", "v.mp4", "--music",  "tune.raw",
                        "--size",  "64x36", "--ffmpeg", "/nonexistent/ffmpeg"}
        << "/nonexistent/ffmpeg";
    QTest::newRow("ffmpeg fails at once")
        << QStringList {"--video", "v.mp4", "--music",  "tune.raw",
                        "--size",  "64x36", "--ffmpeg", "false"}
        << "false";
    // An encoder that writes part of the file and then fails: the part must go.
    QTest::newRow("ffmpeg fails midway")
        << QStringList {"--video", "v.mp4", "--music",  "tune.raw",
                        "--size",  "64x36", "--ffmpeg", "./broken-encoder"}
        << "disk on fire";
    QTest::newRow("still into a missing folder")
        << QStringList {"--at", "0", "--size", "64x36", "-o", "nowhere/still.png"} << "nowhere";
    QTest::newRow("frames over a full folder")
        << QStringList {"--frames", "full", "--duration", "0.1", "--size", "64x36"} << "full";
    QTest::newRow("frames without length")
        << QStringList {"--frames", "out", "--music", "absent.raw", "--size", "64x36"}
        << "absent.raw";
}

void TestCapture::badInputFailsCleanly()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, message);

    QTemporaryDir folder;
    writeMusic(folder.filePath("tune.raw"), 0.5);
    QVERIFY(QDir(folder.path()).mkdir("full"));
    QFile kept(folder.filePath("full/kept"));
    QVERIFY(kept.open(QIODevice::WriteOnly));
    kept.close();
    QFile encoder(folder.filePath("broken-encoder"));
    QVERIFY(encoder.open(QIODevice::WriteOnly));
    encoder.write("#!/bin/sh\n"
                  "for arg; do out=$arg; done\n"
                  "head -c 100000 >/dev/null\n"
                  "echo partial >\"$out\"\n"
                  "echo 'disk on fire' >&2\n"
                  "exit 3\n");
    encoder.close();
    encoder.setPermissions(encoder.permissions() | QFileDevice::ExeOwner);
    const QStringList before = entries(folder.path());

    const Result result = capture(arguments, folder.path());
    QVERIFY(result.exitCode > 0);
    // One line on stderr that says what is wrong.
    QVERIFY2(result.err.endsWith('\n') && result.err.count('\n') == 1, result.err.constData());
    QVERIFY2(result.err.contains(message.toUtf8()), result.err.constData());
    QVERIFY(result.out.isEmpty());
    // Nothing written, nothing left over.
    QCOMPARE(entries(folder.path()), before);
    QCOMPARE(entries(folder.filePath("full")), QStringList {"kept"});
}

void TestCapture::interruptedVideoLeavesNothing()
{
    if (QStandardPaths::findExecutable("ffmpeg").isEmpty())
        QSKIP("ffmpeg is needed");
    QTemporaryDir folder;
    writeMusic(folder.filePath("tune.raw"), 600);

    QProcess process;
    process.setWorkingDirectory(folder.path());
    process.start(capturePath(), {"--video", "long.mp4", "--music", "tune.raw", "--size", "64x36"});
    QVERIFY(process.waitForStarted());
    // While it runs, the video grows under a temporary name only.
    QTRY_VERIFY_WITH_TIMEOUT(entries(folder.path()).size() == 2, 10000);
    QVERIFY(!QFileInfo::exists(folder.filePath("long.mp4")));
    process.terminate();
    QVERIFY(process.waitForFinished(30000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QVERIFY(process.exitCode() != 0);
    QVERIFY(process.readAllStandardError().contains("interrupted"));
    QCOMPARE(entries(folder.path()), QStringList {"tune.raw"});
}

void TestCapture::installPrefix()
{
    if (QStandardPaths::findExecutable("cmake").isEmpty()
        || !QFile::exists(buildDir() + "/cmake_install.cmake"))
        QSKIP("cmake and a build tree are needed");
    QTemporaryDir prefix;
    const Result installed
        = run("cmake", {"--install", buildDir(), "--prefix", prefix.path()}, prefix.path(), 240000);
    QVERIFY2(installed.exitCode == 0, installed.err.constData());
    for (const char *path :
         {"bin/mincer", "bin/mincer-capture", "share/mincer/music.raw",
          "share/applications/mincer.desktop", "share/icons/hicolor/256x256/apps/mincer.png",
          "share/man/man1/mincer.1.gz", "share/man/man1/mincer-capture.1.gz",
          "share/doc/mincer/copyright", "share/doc/mincer/changelog.gz"})
        QVERIFY2(QFileInfo::exists(prefix.filePath(path)), path);
    // The installed demo, started in an empty folder, plays the installed music.
    QTemporaryDir empty;
    QProcess demo;
    demo.setWorkingDirectory(empty.path());
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("SDL_AUDIODRIVER", "disk");
    env.insert("SDL_DISKAUDIOFILE", empty.filePath("device.raw"));
    env.insert("SDL_DISKAUDIODELAY", "0"); // as fast as the driver takes the music
    demo.setProcessEnvironment(env);
    demo.start(prefix.filePath("bin/mincer"), QStringList());
    QVERIFY(demo.waitForFinished(60000));
    QCOMPARE(demo.exitCode(), 0);
    QFile music(prefix.filePath("share/mincer/music.raw"));
    QFile device(empty.filePath("device.raw"));
    QVERIFY(music.open(QIODevice::ReadOnly) && device.open(QIODevice::ReadOnly));
    QVERIFY(device.readAll().contains(music.readAll()));
    // The installed capture program finds the installed music.
    const Result board
        = run(prefix.filePath("bin/mincer-capture"),
              {"--storyboard", "board.png", "--size", "64x36", "--every", "30"}, prefix.path());
    QVERIFY2(board.exitCode == 0, board.err.constData());
}

void TestCapture::package()
{
#ifdef __SANITIZE_ADDRESS__
    QSKIP("the plain build's run checks the package; a sanitizer build is never packaged");
#endif
    const QString config = buildDir() + "/CPackConfig.cmake";
    if (QStandardPaths::findExecutable("cpack").isEmpty()
        || QStandardPaths::findExecutable("dpkg-deb").isEmpty()
        || QStandardPaths::findExecutable("dpkg-shlibdeps").isEmpty() || !QFile::exists(config))
        QSKIP("cpack, dpkg-deb and dpkg-shlibdeps are needed");

    QTemporaryDir folder;
    // Run in the build tree, which cpack builds and installs from; the package and cpack's
    // staging go to the temporary folder. Packed as users pack it, so that lintian judges that.
    const Result packed
        = run("cpack", {"-G", "DEB", "--config", config, "-B", folder.path()}, buildDir(), 240000);
    QVERIFY2(packed.exitCode == 0, packed.out.constData());
    const QStringList debs = QDir(folder.path()).entryList({"*.deb"});
    QCOMPARE(debs.size(), 1);
    const QString deb = folder.filePath(debs.first());

    const Result listing = run("dpkg-deb", {"-c", deb}, folder.path());
    QCOMPARE(listing.exitCode, 0);
    for (const char *path :
         {"./usr/bin/mincer", "./usr/bin/mincer-capture", "./usr/share/mincer/music.raw",
          "./usr/share/applications/mincer.desktop",
          "./usr/share/icons/hicolor/256x256/apps/mincer.png", "./usr/share/man/man1/mincer.1.gz",
          "./usr/share/man/man1/mincer-capture.1.gz", "./usr/share/doc/mincer/copyright",
          "./usr/share/doc/mincer/changelog.gz"}) {
        QVERIFY2(listing.out.contains(QByteArray(" ") + path + '\n'), path);
    }

    const Result depends = run("dpkg-deb", {"-f", deb, "Depends"}, folder.path());
    QVERIFY2(depends.out.contains("libqt" MINCER_QT "gui") && depends.out.contains("libsdl1.2"),
             depends.out.constData());

    // Unpacked, the desktop entry starts the demo beside its music, and the capture program
    // runs from the package.
    const QString root = folder.filePath("root");
    QCOMPARE(run("dpkg-deb", {"-x", deb, root}, folder.path()).exitCode, 0);
    QFile desktop(root + "/usr/share/applications/mincer.desktop");
    QVERIFY(desktop.open(QIODevice::ReadOnly));
    const QByteArray entry = desktop.readAll();
    QVERIFY2(entry.contains("\nExec=mincer\n"), entry.constData());
    QCOMPARE(QImage(root + "/usr/share/icons/hicolor/256x256/apps/mincer.png").size(),
             QSize(256, 256));
    const Result still = run(root + "/usr/bin/mincer-capture",
                             {"--at", "1000", "--size", "64x36", "-o", "still.png"}, folder.path());
    QVERIFY2(still.exitCode == 0, still.err.constData());
    QCOMPARE(QImage(folder.filePath("still.png")).size(), QSize(64, 36));

    // Debian's own judgement of the package, its manual pages included: no error, no warning.
    if (QStandardPaths::findExecutable("lintian").isEmpty())
        QSKIP("lintian is needed to judge the package");
    const Result lint = run("lintian", {"--fail-on", "error,warning", deb}, folder.path());
    QVERIFY2(lint.exitCode == 0, (lint.out + lint.err).constData());
}

QTEST_MAIN(TestCapture)
#include "tst_capture.moc"
