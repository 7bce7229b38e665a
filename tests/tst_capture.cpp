// Runs the built mincer-capture in temporary folders: videos checked with ffprobe, single frames
// against the sequence drawn here, storyboard sizes, failures, and the Debian package (with
// lintian).

#include "beatsong.h"
#include "framepainter.h"
#include "instruction.h"
#include "musicsource.h"
#include "scenelist.h"
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

#include <array>
#include <cstdio>

#include <sys/stat.h>

class TestCapture : public QObject
{
    Q_OBJECT

private slots:
    void video_data();
    void video();
    void stillMatchesSequence_data();
    void stillMatchesSequence();
    void frames();
    void eventsOnTheBeats_data();
    void eventsOnTheBeats();
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

// The made song (beatsong.h), 16-bit mono, written to `path` (its format from its name). Returns
// its beats (ms).
static QList<double> writeSong(const QString &path, double seconds, double fromBpm, double toBpm,
                               double startS)
{
    QList<double> beats;
    const QByteArray pcm = beatSong(seconds, fromBpm, toBpm, startS, &beats);
    QFile file(path + ".raw");
    if (!file.open(QIODevice::WriteOnly) || file.write(pcm) != pcm.size() || !file.flush())
        return {};
    const QStringList mono {"-v", "error", "-f", "s16le", "-ar", "44100", "-ac", "1", "-i"};
    return runTool("ffmpeg", mono + QStringList {path + ".raw", path}) ? beats : QList<double> {};
}

// 40 s of a game's song from its MIDI file, rendered with fluidsynth and the demo's soundfont:
// `game` names the file, and "drumless" leaves out the drum channel, "break" 12 beats of silence
// from beat 24; `fromBpm`, `toBpm` (0: the file's own) replace its tempo. Returns its beats (ms):
// the tempo map's, from the grid's phase (the file's commonest note-on tick within a sixteenth).
// `offBeat`: how much the notes that start a sixteenth, an eighth or three sixteenths after the
// beat weigh against those on it, the most of the three: each note by its velocity and its length
// up to a beat (a drum's: a sixteenth).
static QList<double> renderGameSong(const QString &path, const QString &game, double fromBpm,
                                    double toBpm, double *offBeat)
{
    QProcess reader;
    reader.start("midicsv", {"/usr/share/planetblupi/music/" + game.section(' ', 0, 0) + ".mid"});
    if (!reader.waitForFinished(60000) || reader.exitCode() != 0)
        return {};
    QList<QStringList> events;
    for (const QByteArray &line : reader.readAllStandardOutput().split('\n'))
        if (!line.isEmpty())
            events.append(QString::fromLatin1(line).split(", "));
    const int division = events.first().at(5).toInt(); // ticks a beat
    QMap<int, int> phases;
    double ownUs = 500000;
    for (const QStringList &event : events) {
        if (event.at(2) == "Note_on_c" && event.at(5).toInt() > 0)
            ++phases[event.at(1).toInt() % (division / 4)];
        if (event.at(2) == "Tempo")
            ownUs = event.at(3).toDouble();
    }
    const int lead = std::max_element(phases.begin(), phases.end()).key();
    // Each beat's length (µs) as the file's tempo events give it, and the beats' times.
    const double from = fromBpm > 0 ? fromBpm : 60e6 / ownUs, to = toBpm > 0 ? toBpm : from;
    const int beatCount = int(40 * (from + to) / 2 / 60) + 2;
    const int fine = 16; // ticks a tick: fluidsynth rounds a tempo change to a tick
    QList<double> beats;
    QStringList conductor {"1, 0, Start_track"};
    double ms = 0;
    for (int beat = 0; beat <= beatCount; ++beat) {
        const int us = qRound(60e6 / (from + (to - from) * beat / beatCount));
        conductor << QStringLiteral("1, %1, Tempo, %2").arg(qint64(beat) * division * fine).arg(us);
        beats.append(ms);
        ms += us / 1000.0;
    }
    const qint64 endTick = qint64(beatCount) * division * fine;
    for (int channel = 0; channel < 16; ++channel)
        conductor << QStringLiteral("1, %1, Control_c, %2, 123, 0").arg(endTick).arg(channel);
    conductor << QStringLiteral("1, %1, End_track").arg(endTick);
    QMap<int, QList<QPair<qint64, QString>>> tracks;
    std::array<double, 4> weight {}; // by the sixteenth within the beat
    QMap<QString, QPair<qint64, int>> sounding; // a note's start (tick) and velocity
    for (QStringList event : events) {
        const int track = event.at(0).toInt();
        const qint64 tick = (event.at(1).toLongLong() - lead) * fine;
        const QString &kind = event.at(2);
        const bool note = kind == "Note_on_c" || kind == "Note_off_c";
        const bool drum = note && event.at(3) == "9";
        // Only what sounds in the excerpt: the rest of the song would only crowd the player.
        if (track <= 1 || kind == "Tempo" || kind == "End_track" || kind == "Start_track"
            || tick >= endTick || (note && tick < 0) || (drum && game.contains("drumless"))
            || (note && game.contains("break") && tick >= 24LL * division * fine
                && tick < 36LL * division * fine && event.at(5) != "0"))
            continue;
        if (note) {
            const QString key = event.at(0) + event.at(3) + ":" + event.at(4);
            const int velocity = kind == "Note_on_c" ? event.at(5).toInt() : 0;
            const auto sixteenth = [&](qint64 at) { return qRound(4.0 * at / (division * fine)); };
            if (drum && velocity > 0) {
                weight[size_t(sixteenth(tick) % 4)] += velocity;
            } else if (!drum && velocity > 0) {
                sounding[key] = {tick, velocity};
            } else if (!drum && sounding.contains(key)) {
                const QPair<qint64, int> start = sounding.take(key);
                weight[size_t(sixteenth(start.first) % 4)] += start.second
                    * std::min(4.0, 4.0 * double(tick - start.first) / (division * fine));
            }
        }
        event[1] = QString::number(std::max<qint64>(tick, 0));
        tracks[track].append({std::max<qint64>(tick, 0), event.join(", ")});
    }
    *offBeat = std::max({weight[1], weight[2], weight[3]}) / std::max(weight[0], 1.0);
    QStringList csv {
        QStringLiteral("0, 0, Header, 1, %1, %2").arg(tracks.size() + 1).arg(division * fine)};
    csv << conductor;
    for (auto track = tracks.begin(); track != tracks.end(); ++track) {
        std::stable_sort(track->begin(), track->end(),
                         [](const auto &a, const auto &b) { return a.first < b.first; });
        csv << QStringLiteral("%1, 0, Start_track").arg(track.key());
        for (const auto &event : *track)
            csv << event.second;
        csv << QStringLiteral("%1, %2, End_track").arg(track.key()).arg(endTick);
    }
    csv << "0, 0, End_of_file";
    QProcess writer;
    writer.start("csvmidi", {"-", path + ".mid"});
    writer.write(csv.join('\n').toLatin1() + '\n');
    writer.closeWriteChannel();
    if (!writer.waitForFinished(60000) || writer.exitCode() != 0
        || !runTool("fluidsynth",
                    {"-q",
                     "-n",
                     "-i",
                     "-f",
                     "/dev/null",
                     "-F",
                     path + ".f32",
                     "-T",
                     "raw",
                     "-O",
                     "float",
                     "-E",
                     "little",
                     "-r",
                     "44100",
                     "-g",
                     "0.4",
                     "-o",
                     "synth.cpu-cores=1",
                     MINCER_SOUNDFONT,
                     path + ".mid"})
        || !runTool("sox", {"-D", "-V1",  "-t", "raw", "-r", "44100",       "-e", "floating-point",
                            "-b", "32",   "-c", "2",   "-L", path + ".f32", "-b", "16",
                            path, "gain", "-n", "-1"}))
        return {};
    return beats;
}

void TestCapture::eventsOnTheBeats_data()
{
    QTest::addColumn<double>("fromBpm");
    QTest::addColumn<double>("toBpm");
    QTest::addColumn<double>("startS");
    QTest::addColumn<QString>("game"); // a game's song rendered from MIDI (renderGameSong)
    QTest::addColumn<QString>("fault"); // why the row fails, where it does: what is not done yet

    QTest::newRow("70 BPM, the hi-hat at 140") << 70.0 << 70.0 << 0.5 << QString() << QString();
    QTest::newRow("100 BPM") << 100.0 << 100.0 << 0.3 << QString() << QString();
    QTest::newRow("128 BPM") << 128.0 << 128.0 << 0.7 << QString() << QString();
    QTest::newRow("180 BPM") << 180.0 << 180.0 << 0.4 << QString() << QString();
    QTest::newRow("an intro without beat, then 110 BPM")
        << 110.0 << 110.0 << 8.0 << QString() << QString();
    QTest::newRow("from 96 to 136 BPM") << 96.0 << 136.0 << 0.5 << QString() << QString();
    QTest::newRow("no beat: the own timing") << 0.0 << 0.0 << 0.0 << QString() << QString();
    // Every song of Planet Blupi's as it is, and without its drums.
    // What fails, and why (docs/beats.md). Where the score's off-beat weighs as much as its beat,
    // the own timing would be right; the tracker, sure of the grid it hears, does not keep it.
    const QMap<QString, QString> faults {
        {"music001", "its loudest hits, snare and piano, sound on the off-beat: tracked there"},
        {"music001 drumless", "the piano's chords on the off-beat: found late, on the off-beat"},
        {"music003", "kick and snare on the fourth beat's off-beat: half on the off-beat"},
        {"music003 drumless", "no grid stands out: found late, a sixteenth off"},
        {"music004 drumless", "its bass repeats every three sixteenths: tracked at 138 BPM"},
        {"music006 drumless", "its notes start on the off-beat: tracked there, not own timing"},
        {"music007 drumless", "each beat's note a sixteenth early: tracked there, not own timing"},
        {"music008", "snare and claps on every off-beat: tracked there in part"},
        {"music008 drumless", "its notes weigh most off the beat: tracked there, not own timing"},
        {"music009 drumless", "its off-beat notes sound louder than the beat's: tracked there"},
        {"music006 at 72 BPM", "tracked at 144 BPM, on the off-beat"},
        {"music002 at 200 BPM", "tapped at 100 BPM: a swallow every 4 beats, not 3"},
        {"music009 at 180 BPM", "tracked at 90 BPM, on the off-beat of 180"}};
    for (int song = 0; song < 10; ++song) {
        for (const QString variant : {"", " drumless"}) {
            const QString game = QStringLiteral("music00%1").arg(song) + variant;
            QTest::addRow("%s", qPrintable(game))
                << 0.0 << 0.0 << 0.0 << game << faults.value(game);
        }
    }
    // Very slow, very fast, a break, a ramp.
    const QList<std::tuple<QString, double, double>> changed {
        {"music004", 66, 66},   {"music005", 62, 62},   {"music000", 60, 60},
        {"music007", 70, 70},   {"music006", 72, 72},   {"music004", 190, 190},
        {"music002", 200, 200}, {"music009", 180, 180}, {"music000 drumless", 120, 150}};
    for (const auto &[game, fromBpm, toBpm] : changed) {
        const QString name = QStringLiteral("%1 at %2").arg(game).arg(fromBpm)
            + (toBpm != fromBpm ? QStringLiteral(" to %1").arg(toBpm) : QString()) + " BPM";
        QTest::addRow("%s", qPrintable(name))
            << fromBpm << toBpm << 0.0 << game << faults.value(name);
    }
    QTest::newRow("music004 break") << 0.0 << 0.0 << 0.0 << "music004 break" << QString();
}

// The events found in the frames of the video that mincer-capture paints of a song with known
// beats: the forest's changes after stillness (the hop, the two rises, the wave), the cut to the
// grinder, and each falling character's going wholly into the hopper. Each lies on a beat; without
// a beat, at its own time. (The spin's start shows too slowly at first to be timed from frames.)
void TestCapture::eventsOnTheBeats()
{
    QFETCH(double, fromBpm);
    QFETCH(double, toBpm);
    QFETCH(double, startS);
    QFETCH(QString, game);
    QFETCH(QString, fault);
#ifdef __SANITIZE_ADDRESS__
    // The plain build's run checks every song; this one a few, to fit the suite's time.
    if (!QStringList {"100 BPM", "no beat: the own timing", "music004", "music004 break"}.contains(
            QTest::currentDataTag()))
        QSKIP("the plain build's run plays this song");
#endif
    if (!game.isEmpty()
        && (QStandardPaths::findExecutable("midicsv").isEmpty()
            || !QFile::exists("/usr/share/planetblupi/music/music000.mid")))
        QSKIP("midicsv and planetblupi-music-midi are needed");
    QTemporaryDir folder;
    double offBeat = 0;
    const QList<double> beats = game.isEmpty()
        ? writeSong(folder.filePath("song.flac"), 40, fromBpm, toBpm, startS)
        : renderGameSong(folder.filePath("song.flac"), game, fromBpm, toBpm, &offBeat);
    QVERIFY(QFileInfo::exists(folder.filePath("song.flac")));
    // The frames, from an "ffmpeg" that hands them on through a pipe.
    const QString pipe = folder.filePath("frames");
    QVERIFY(mkfifo(QFile::encodeName(pipe).constData(), 0600) == 0);
    QFile encoder(folder.filePath("frames-out"));
    QVERIFY(encoder.open(QIODevice::WriteOnly));
    encoder.write("#!/bin/sh\nexec cat >\"$FRAMES\"\n");
    encoder.close();
    encoder.setPermissions(encoder.permissions() | QFileDevice::ExeOwner);
    // Frames an eighth of the composition's size (240x136, its bottom row a bar): frame row r shows
    // rows 8r - 540 to 8r - 533, and a frame shows a moment at most 10 ms after it.
    const int scale = 8;
    const QSize size(1920 / scale, 1080 / scale + 1);
    const int fps = 200;
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("FRAMES", pipe);
    process.setProcessEnvironment(environment);
    process.setWorkingDirectory(folder.path());
    process.start(capturePath(),
                  {"--video", "out.mp4", "--music", "song.flac", "--size",
                   QStringLiteral("%1x%2").arg(size.width()).arg(size.height()), "--fps",
                   QString::number(fps), "--duration", "39", "--ffmpeg", "./frames-out"});
    std::FILE *frames = std::fopen(QFile::encodeName(pipe).constData(), "rb");
    QVERIFY(frames);
    const auto shows = [](const QImage &frame, int x, int y) {
        return (reinterpret_cast<const QRgb *>(frame.constScanLine(y))[x] & 0xffffff)
            != (qRgb(0x30, 0x39, 0x2c) & 0xffffff);
    };
    const auto feetRow = [&](const QImage &frame) {
        // The falling character's feet (it falls head first) in the columns of its fall, from
        // below the frame's top edge to above the hopper's rim (composition y -208); -1 if none.
        for (int y = 0; y < (540 - 208) / scale; ++y)
            for (int x = 520 / scale; x < 720 / scale; ++x)
                if (shows(frame, x, y))
                    return y > 0 ? y : -1;
        return -1;
    };
    QList<double> events; // ms of music
    QImage previous;
    int stillFrames = 0;
    QList<double> changes; // the forest's: the hop, its way down, the rises, the wave, the spin
    bool cleared = false, cut = false;
    QList<QPointF> fall; // (ms, composition y of the feet)
    // Two frames' memory, reused: the one read and the one before.
    QImage frame(size, QImage::Format_RGB32);
    previous = QImage(size, QImage::Format_RGB32);
    for (int n = 0;; ++n) {
        if (std::fread(frame.bits(), 1, size_t(frame.sizeInBytes()), frames)
            < size_t(frame.sizeInBytes()))
            break;
        const double ms = n * 1000.0 / fps;
        if (!cut) {
            // The cut: the grinder fills a tenth of the frame where the forest had shrunk away.
            int shown = 0;
            const int every = 24 / scale;
            for (int y = 0; y < size.height(); y += every)
                for (int x = 0; x < size.width(); x += every)
                    shown += shows(frame, x, y);
            const double part = shown / double((size.height() / every) * (size.width() / every));
            cleared = cleared || (changes.size() >= 6 && part < 0.01);
            cut = cleared && part > 0.05;
            if (cut)
                events.append(ms);
            else if (frame != previous && stillFrames >= fps / 10)
                changes.append(ms);
            stillFrames = frame == previous ? stillFrames + 1 : 0;
            std::swap(previous, frame);
            continue;
        }
        // A swallow: where the line the feet fall on reaches the mask at y -180 (own timing:
        // 900 ms into the grinder's second).
        const int feet = feetRow(frame);
        const double feetY = scale * feet - 540 + (scale - 1) / 2.0;
        if (feet >= 0 && (fall.isEmpty() || feetY >= fall.last().y())) {
            fall.append({ms, feetY});
            continue;
        }
        if (fall.size() >= 10) {
            const QPointF top = fall.first(), low = fall.last();
            events.append(low.x() + (-180 - low.y()) * (low.x() - top.x()) / (low.y() - top.y()));
        }
        fall.clear();
    }
    std::fclose(frames);
    QVERIFY(process.waitForFinished(120000));
    QVERIFY2(process.exitCode() == 0, process.readAllStandardError().constData());
    QVERIFY(changes.size() >= 6 && events.size() >= 5);
    events = QList<double> {changes.at(0), changes.at(2), changes.at(3), changes.at(4)} + events;

    // Own times, from the scene list: the forest's first four moments, its end, then a swallow at
    // the grinder's moment in each of its seconds.
    const QList<Instruction *> scenes = createScenes();
    const SceneEvents forest = scenes.at(0)->events(), grinder = scenes.at(1)->events();
    const auto ownMs = [&](int i) {
        const double cutMs = scenes.at(0)->endTime();
        return i < 4 ? forest.once.at(i).timeMs
            : i == 4 ? cutMs
                     : cutMs + grinder.once.at(0).timeMs + grinder.repeatEveryMs * (i - 5);
    };
    // Each event's distance from the nearest beat and from its own time; between swallows, the
    // whole number of beats nearest a second.
    QList<double> onBeats, onOwn;
    QString found;
    bool everyWholeBeats = true;
    for (int i = 0, last = 0; i < events.size(); ++i) {
        const double event = events.at(i);
        const auto nearest = std::min_element(beats.begin(), beats.end(), [&](double a, double b) {
            return std::abs(a - event) < std::abs(b - event);
        });
        const int beat = int(nearest - beats.begin());
        onOwn.append(std::abs(event - ownMs(i)));
        onBeats.append(beats.isEmpty() ? onOwn.last() : std::abs(event - *nearest));
        if (i > 5 && beat > 0)
            everyWholeBeats = everyWholeBeats
                && beat - last == std::max(1, qRound(1000 / (*nearest - beats.at(beat - 1))));
        last = beat;
        found += QStringLiteral(" %1 (%2)").arg(event).arg(onBeats.last(), 0, 'f', 1);
    }
    // The median and the 90th percentile.
    const auto figures = [](QList<double> errors) {
        std::sort(errors.begin(), errors.end());
        return std::make_pair(errors.at(errors.size() / 2),
                              errors.at(int(std::ceil(errors.size() * 0.9)) - 1));
    };
    const auto [median, p90] = figures(onBeats);
    const auto [ownMedian, ownP90] = figures(onOwn);
    qInfo("%d events off the beat: median %.1f ms, 90 %% within %.1f ms; off their own times "
          "%.1f and %.1f ms; off-beat notes weigh %.2f of the beat's",
          int(events.size()), median, p90, ownMedian, ownP90, offBeat);
    // Where the score's notes weigh as much off the beat as on it, the beat is ambiguous: the
    // show may keep its own timing there.
    const bool onTheBeat = median <= 15 && p90 <= 35 && everyWholeBeats;
    const bool ownTiming = offBeat >= 0.85 && ownMedian <= 15 && ownP90 <= 35;
    if (!fault.isEmpty())
        QEXPECT_FAIL("", qPrintable(fault), Continue);
    QVERIFY2(onTheBeat || ownTiming, qPrintable("events, ms (off):" + found));
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
    QVERIFY2(depends.out.contains("libqt" MINCER_QT "gui") && depends.out.contains("libsdl1.2")
                 && depends.out.contains("libfftw3-single3"),
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
