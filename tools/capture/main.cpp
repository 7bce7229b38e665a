// mincer-capture: renders the demo's timeline offline, to a video, a PNG sequence, a single PNG
// or a contact sheet. Never opens a window.

#include "beattracker.h"
#include "encoder.h"
#include "musiclocation.h"
#include "musicsource.h"
#include "pixelsize.h"
#include "scenelist.h"
#include "scenesequence.h"
#include "sequence.h"
#include "utf8locale.h"

#include <QCommandLineParser>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QGuiApplication>
#include <QPainter>
#include <QSaveFile>
#include <QTemporaryDir>
#include <QTemporaryFile>

#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const int maxFps = 1000; // frame times are whole milliseconds
const qint64 maxSeconds = longestMusicSeconds; // longest sequence time rendered, s
const int thumbWidthPx = 320; // storyboard thumbnail width
const int sheetGapPx = 8; // storyboard margin around and between thumbnails
const int labelHeightPx = 22; // storyboard time label strip under each thumbnail

volatile std::sig_atomic_t interrupted = 0;

void onSignal(int)
{
    interrupted = 1;
}

class Failure
{
public:
    explicit Failure(const QString &text) : message(text) { }
    QString message;
};

[[noreturn]] void fail(const QString &message)
{
    throw Failure(message);
}

enum class Mode { None, Video, Frames, At, Storyboard, Null };

struct Options
{
    Mode mode = Mode::None;
    QString target; // output file or directory
    QString output; // --output, for --at
    qint64 atMs = 0;
    QSize size {1920, 1080};
    int fps = 60;
    double durationSeconds = 0; // 0: the music's length
    QString music;
    double everySeconds = 5;
    int columns = 6;
    QString ffmpeg = QStringLiteral("ffmpeg");
    bool ownTiming = false;
};

int parsePositive(const QString &option, const QString &text, int maximum)
{
    bool ok = false;
    const int value = text.toInt(&ok);
    if (!ok || value <= 0 || value > maximum)
        fail(QStringLiteral("--%1 needs a whole number from 1 to %2, not '%3'")
                 .arg(option)
                 .arg(maximum)
                 .arg(text));
    return value;
}

double parseSeconds(const QString &option, const QString &text)
{
    bool ok = false;
    const double value = text.toDouble(&ok);
    if (!ok || !(value > 0) || value > maxSeconds)
        fail(QStringLiteral("--%1 needs a positive number of seconds, not '%2'").arg(option, text));
    return value;
}

Options parseOptions(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Renders the mincer demo offline at a fixed frame rate. Choose one output:\n"
                       "--video, --frames, --at, --storyboard or --null."));
    parser.addHelpOption();
    parser.addOptions({
        {"video", "H.264/AAC video of the demo with its music (needs ffmpeg).", "out.mp4"},
        {"frames", "A PNG sequence frame-000000.png, ... in a new directory.", "dir"},
        {"at", "One frame at sequence time ms, as PNG (see --output).", "ms"},
        {"storyboard", "A contact sheet with a labelled thumbnail every --every seconds.",
         "out.png"},
        {"null", "Render the frames and discard them (to measure the drawing speed)."},
        {{"o", "output"}, "The PNG file for --at (default frame-<ms>.png).", "file"},
        {"size", "Frame size (default 1920x1080).", "WxH"},
        {"fps", "Frame rate (default 60).", "n"},
        {"duration", "Length to render (default: the music's length).", "seconds"},
        {"music",
         "The music: a song (WAV, FLAC, Ogg, Opus, MP3, ...) or headerless 16-bit stereo PCM "
         "at 44100 Hz named *.raw (default: music.raw in the current directory, else the "
         "installed music).",
         "file"},
        {"every", "Seconds between storyboard thumbnails (default 5).", "seconds"},
        {"columns", "Storyboard thumbnails per row (default 6).", "n"},
        {"ffmpeg", "The ffmpeg program to run (default ffmpeg).", "program"},
        {"own-timing", "Play the scenes at their own pace, not on the beats of the song."},
    });
    if (!parser.parse(arguments))
        fail(parser.errorText());
    if (parser.isSet("help")) {
        std::fputs(qPrintable(parser.helpText()), stdout);
        std::exit(0);
    }
    // With the toolkit's options too: the parser prints them itself, then exits.
    if (parser.isSet("help-all"))
        parser.process(arguments);
    if (!parser.positionalArguments().isEmpty())
        fail(QStringLiteral("unexpected argument '%1'").arg(parser.positionalArguments().first()));

    Options options;
    int modes = 0;
    const std::pair<const char *, Mode> modeOptions[] = {{"video", Mode::Video},
                                                         {"frames", Mode::Frames},
                                                         {"at", Mode::At},
                                                         {"storyboard", Mode::Storyboard},
                                                         {"null", Mode::Null}};
    for (const auto &[name, mode] : modeOptions) {
        if (parser.isSet(name)) {
            ++modes;
            options.mode = mode;
            if (mode != Mode::Null && mode != Mode::At)
                options.target = parser.value(name);
        }
    }
    if (modes != 1)
        fail(QStringLiteral("choose one of --video, --frames, --at, --storyboard, --null"));
    if (options.mode != Mode::Null && options.mode != Mode::At && options.target.isEmpty())
        fail(QStringLiteral("the output name is empty"));

    if (parser.isSet("size")) {
        const QString text = parser.value("size");
        options.size = parsePixelSize(text);
        if (options.size.isEmpty())
            fail(QStringLiteral("--size needs WIDTHxHEIGHT, from 1 to %1 pixels a side, not '%2'")
                     .arg(largestSidePx)
                     .arg(text));
    }
    if (parser.isSet("fps"))
        options.fps = parsePositive("fps", parser.value("fps"), maxFps);
    if (parser.isSet("duration"))
        options.durationSeconds = parseSeconds("duration", parser.value("duration"));
    if (parser.isSet("every"))
        options.everySeconds = parseSeconds("every", parser.value("every"));
    if (parser.isSet("columns"))
        options.columns = parsePositive("columns", parser.value("columns"), 1000);
    if (parser.isSet("music"))
        options.music = parser.value("music");
    if (parser.isSet("ffmpeg"))
        options.ffmpeg = parser.value("ffmpeg");
    options.ownTiming = parser.isSet("own-timing");

    if (options.mode == Mode::At) {
        bool ok = false;
        const QString text = parser.value("at");
        options.atMs = text.toLongLong(&ok);
        if (!ok || options.atMs < 0 || options.atMs > maxSeconds * 1000)
            fail(QStringLiteral("--at needs a time in ms from 0 to %1, not '%2'")
                     .arg(maxSeconds * 1000)
                     .arg(text));
        options.output = parser.isSet("output") ? parser.value("output")
                                                : QStringLiteral("frame-%1.png").arg(options.atMs);
        if (options.output.isEmpty())
            fail(QStringLiteral("the output name is empty"));
    } else if (parser.isSet("output")) {
        fail(QStringLiteral("--output goes with --at only"));
    }
    if (options.mode == Mode::Video && (options.size.width() % 2 || options.size.height() % 2))
        fail(QStringLiteral("--video needs an even width and height, not %1x%2")
                 .arg(options.size.width())
                 .arg(options.size.height()));
    return options;
}

// Why no music was found, for messages.
QString noMusic;

// Frames to render: --duration, else as many as cover the music. Returns 0 if neither is known.
qint64 frameCount(const Options &options, const QString &music)
{
    if (options.durationSeconds > 0)
        return std::max<qint64>(1, qint64(std::ceil(options.durationSeconds * options.fps - 1e-6)));
    if (music.isEmpty())
        return 0;
    const QFileInfo info(music);
    if (!info.isFile())
        return 0;
    // Whole sample frames of music, rounded up to whole video frames.
    const qint64 sampleFrames = info.size() / musicBytesPerFrame;
    return (sampleFrames * options.fps + musicRateHz - 1) / musicRateHz;
}

qint64 requireFrames(const Options &options, const QString &music)
{
    const qint64 frames = frameCount(options, music);
    if (frames > 0)
        return frames;
    if (music.isEmpty())
        fail(QStringLiteral("%1; or give --duration").arg(noMusic));
    if (!QFileInfo(music).isFile())
        fail(QStringLiteral("cannot read the music %1: no such file").arg(music));
    fail(QStringLiteral("the music %1 is empty; give --duration").arg(music));
}

mode_t currentUmask()
{
    const mode_t mask = umask(0);
    umask(mask);
    return mask;
}

// Moves a finished temporary file or directory onto its final name.
void moveInPlace(const QString &from, const QString &to, mode_t mode)
{
    ::chmod(QFile::encodeName(from).constData(), mode);
    if (::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) != 0)
        fail(
            QStringLiteral("cannot write %1: %2").arg(to, QString::fromLocal8Bit(strerror(errno))));
}

void savePng(const QImage &image, const QString &path)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        fail(QStringLiteral("cannot write %1: %2").arg(path, file.errorString()));
    if (!image.save(&file, "PNG") || !file.commit())
        fail(QStringLiteral("cannot write %1: %2").arg(path, file.errorString()));
}

void checkInterrupted()
{
    if (interrupted)
        fail(QStringLiteral("interrupted"));
}

// The music as headerless PCM in the show's format, for its length and for ffmpeg: the file
// itself, or a song decoded into `decoded`, and analysed by `beats` when given.
QString rawMusic(const QString &music, QTemporaryFile &decoded, BeatTracker *beats)
{
    if (music.isEmpty() || isRawMusic(music))
        return music;
    QString error;
    const std::unique_ptr<MusicSource> song = openMusic(music, &error);
    if (!song)
        fail(error);
    if (!decoded.open())
        fail(QStringLiteral("cannot decode %1: %2").arg(music, decoded.errorString()));
    QByteArray piece(musicBytesPerSecond, Qt::Uninitialized);
    qint64 got = 0;
    while ((got = song->read(piece.data(), piece.size())) > 0) {
        checkInterrupted();
        if (decoded.write(piece.constData(), got) != got)
            fail(QStringLiteral("cannot decode %1: %2").arg(music, decoded.errorString()));
        if (beats)
            beats->feed(piece.constData(), got);
    }
    if (got < 0)
        fail(song->errorString());
    decoded.flush();
    return decoded.fileName();
}

// The progress line on stderr: rewritten in place on a terminal, a line every few seconds
// otherwise.
class Progress
{
public:
    explicit Progress(qint64 total) : total(total), terminal(isatty(STDERR_FILENO))
    {
        clock.start();
    }
    ~Progress()
    {
        if (shown && terminal)
            std::fputc('\n', stderr);
    }

    void update(qint64 done)
    {
        const qint64 elapsedMs = clock.elapsed();
        const qint64 everyMs = terminal ? 500 : 5000;
        // Short work shows nothing; long work ends with its final count.
        const bool due = elapsedMs - lastMs >= everyMs;
        if (!due && !(done >= total && shown))
            return;
        lastMs = elapsedMs;
        const double rate = elapsedMs > 0 ? done * 1000.0 / elapsedMs : 0;
        const qint64 leftSeconds = rate > 0 ? qint64((total - done) / rate + 0.5) : 0;
        std::fprintf(stderr, "%sframe %lld of %lld, %.1f fps, %lld s left%s", terminal ? "\r" : "",
                     done, total, rate, leftSeconds, terminal ? "\033[K" : "\n");
        std::fflush(stderr);
        shown = true;
    }

private:
    qint64 total;
    bool terminal;
    bool shown = false;
    qint64 lastMs = 0;
    QElapsedTimer clock;
};

// The achieved rates: drawing alone, and everything with saving or encoding.
// With --video the encoder runs alongside and takes CPU time from the drawing; --null measures
// the drawing alone.
void reportRate(const FrameSequence &sequence, QSize size, qint64 wallNs, bool encoding)
{
    const qint64 frames = sequence.drawnFrames();
    if (frames == 1) {
        std::fprintf(stderr, "mincer-capture: 1 frame at %dx%d drawn in %.1f ms\n", size.width(),
                     size.height(), sequence.drawingNs() / 1e6);
        return;
    }
    const double drawingSeconds = sequence.drawingNs() / 1e9;
    const double drawingFps = drawingSeconds > 0 ? frames / drawingSeconds : 0;
    std::fprintf(stderr,
                 "mincer-capture: %lld frames at %dx%d: drawing %.2f s%s, %.1f fps, %.2fx real "
                 "time at %d fps; %.2f s in all, %.1f fps\n",
                 frames, size.width(), size.height(), drawingSeconds,
                 encoding ? " (beside the encoder)" : "", drawingFps, drawingFps / sequence.fps(),
                 sequence.fps(), wallNs / 1e9, frames / (wallNs / 1e9));
}

QImage blankFrame(QSize size)
{
    QImage image(size, QImage::Format_RGB32); // what a window's backing store holds
    image.fill(Qt::black);
    return image;
}

// Draws the next `frames` frames of the sequence, one after the other, onto one image of the
// given size, and hands each to `use` with its frame number; shows the progress.
template<typename Use> void drawEach(FrameSequence &sequence, QSize size, qint64 frames, Use use)
{
    QImage image = blankFrame(size);
    Progress progress(frames);
    for (qint64 n = 0; n < frames; ++n) {
        checkInterrupted();
        sequence.drawNext(image);
        use(n, image);
        progress.update(n + 1);
    }
}

void captureVideo(const Options &options, FrameSequence &sequence, const QString &music)
{
    if (music.isEmpty())
        fail(noMusic);
    if (!QFileInfo(music).isFile() || !QFileInfo(music).isReadable())
        fail(QStringLiteral("cannot read the music %1: no such file or not readable").arg(music));
    const qint64 frames = requireFrames(options, music);

    // ffmpeg writes a temporary name beside the target (same suffix, so that it picks the same
    // container), renamed when the video is complete.
    const QFileInfo target(options.target);
    if (target.suffix().isEmpty())
        fail(QStringLiteral("--video needs a file name with a suffix that names the container, "
                            "such as .mp4, not '%1'")
                 .arg(options.target));
    if (target.isDir())
        fail(QStringLiteral("%1 is a directory").arg(options.target));
    QTemporaryFile partial(target.absolutePath() + "/." + target.completeBaseName()
                           + ".partial-XXXXXX." + target.suffix());
    if (!partial.open())
        fail(QStringLiteral("cannot write %1: %2").arg(options.target, partial.errorString()));
    partial.close();

    VideoEncoder encoder(options.ffmpeg);
    if (!encoder.start(partial.fileName(), options.size, options.fps, frames, music))
        fail(encoder.errorString());
    drawEach(sequence, options.size, frames, [&](qint64, const QImage &image) {
        if (!encoder.write(image))
            fail(encoder.errorString());
    });
    if (!encoder.finish())
        fail(encoder.errorString());
    // Temporary files are private; the video gets the permissions of a newly created file.
    moveInPlace(partial.fileName(), options.target, 0666 & ~currentUmask());
    partial.setAutoRemove(false);
}

void captureFrames(const Options &options, FrameSequence &sequence, const QString &music)
{
    const qint64 frames = requireFrames(options, music);
    const QFileInfo target(options.target);
    const bool emptyDirectory = target.isDir() && QDir(options.target).isEmpty();
    if (target.exists() && !emptyDirectory)
        fail(QStringLiteral("%1 already exists; --frames makes a new directory")
                 .arg(options.target));

    QTemporaryDir partial(target.absolutePath() + "/." + target.fileName() + ".partial-XXXXXX");
    if (!partial.isValid())
        fail(QStringLiteral("cannot write %1: %2").arg(options.target, partial.errorString()));
    drawEach(sequence, options.size, frames, [&](qint64 n, const QImage &image) {
        savePng(image, partial.filePath(QStringLiteral("frame-%1.png").arg(n, 6, 10, QChar('0'))));
    });
    if (emptyDirectory)
        QDir().rmdir(options.target);
    moveInPlace(partial.path(), options.target, 0777 & ~currentUmask());
    partial.setAutoRemove(false);
}

void captureStill(const Options &options, FrameSequence &sequence)
{
    QImage image = blankFrame(options.size);
    sequence.drawAt(options.atMs, image);
    savePng(image, options.output);
}

QString timeLabel(qint64 ms)
{
    const QString minutesSeconds
        = QStringLiteral("%1:%2").arg(ms / 60000).arg(ms / 1000 % 60, 2, 10, QChar('0'));
    if (ms % 1000 == 0)
        return minutesSeconds;
    return minutesSeconds + QStringLiteral(".%1").arg(ms % 1000, 3, 10, QChar('0'));
}

void captureStoryboard(const Options &options, FrameSequence &sequence, const QString &music)
{
    const qint64 frames = requireFrames(options, music);
    // Thumbnails at the frames nearest below 0, every, 2 * every, ... seconds that the
    // rendered length holds.
    QList<qint64> shots;
    for (qint64 k = 0;; ++k) {
        const qint64 frame = qint64(k * options.everySeconds * options.fps + 1e-6);
        if (frame >= frames || (!shots.isEmpty() && frame == shots.last()))
            break;
        shots.append(frame);
    }
    const int thumbHeightPx = std::max(
        1,
        (thumbWidthPx * options.size.height() + options.size.width() / 2) / options.size.width());
    const int columns = std::min<int>(options.columns, shots.size());
    const int rows = (shots.size() + columns - 1) / columns;
    QImage sheet(columns * (thumbWidthPx + sheetGapPx) + sheetGapPx,
                 rows * (thumbHeightPx + labelHeightPx + sheetGapPx) + sheetGapPx,
                 QImage::Format_RGB32);
    sheet.fill(QColor(24, 24, 24));
    QPainter sheetPainter(&sheet);
    QFont font;
    font.setPixelSize(labelHeightPx - 6);
    sheetPainter.setFont(font);
    sheetPainter.setPen(QColor(230, 230, 230));

    QImage image = blankFrame(options.size);
    Progress progress(shots.last() + 1);
    for (int i = 0; i < shots.size(); ++i) {
        checkInterrupted();
        sequence.skipTo(shots.at(i));
        sequence.drawNext(image);
        const QPoint corner(sheetGapPx + i % columns * (thumbWidthPx + sheetGapPx),
                            sheetGapPx
                                + i / columns * (thumbHeightPx + labelHeightPx + sheetGapPx));
        sheetPainter.drawImage(corner,
                               image.scaled(thumbWidthPx, thumbHeightPx, Qt::IgnoreAspectRatio,
                                            Qt::SmoothTransformation));
        sheetPainter.drawText(
            QRect(corner.x(), corner.y() + thumbHeightPx, thumbWidthPx, labelHeightPx),
            Qt::AlignLeft | Qt::AlignVCenter,
            timeLabel(FrameSequence::frameTimeMs(shots.at(i), options.fps)));
        progress.update(shots.at(i) + 1);
    }
    sheetPainter.end();
    savePng(sheet, options.target);
}

void captureNull(const Options &options, FrameSequence &sequence, const QString &music)
{
    drawEach(sequence, options.size, requireFrames(options, music), [](qint64, const QImage &) {});
}

// Qt's messages go to stderr as usual, except its notice about a missing XDG_RUNTIME_DIR: this
// program opens no window and uses no runtime directory, and errors here are one line each.
void filterMessages(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (message.startsWith(QLatin1String("QStandardPaths: XDG_RUNTIME_DIR not set")))
        return;
    std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(type, context, message)));
}

} // namespace

int main(int argc, char *argv[])
{
    takeUtf8Locale();
    // This program never shows a window: without a platform chosen, run without a display.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    qInstallMessageHandler(filterMessages);
    QGuiApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("mincer-capture"));

    struct sigaction action
    {
    };
    action.sa_handler = onSignal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    try {
        const Options options = parseOptions(QCoreApplication::arguments());
        const QString found
            = findMusic(options.music, QStringLiteral("mincer-capture --music"), &noMusic);
        // A song's scenes follow its beats, found before any frame is painted, as the demo finds
        // them ahead of the picture; headerless PCM keeps their own timing, as in the demo.
        const bool onBeats = followsBeats(found, options.ownTiming);
        // A song is decoded only where its sound, its beats or its length is needed: for the
        // video, and for the number of frames unless --duration gives it.
        const bool needsMusic = options.mode == Mode::Video || onBeats
            || (options.mode != Mode::At && options.durationSeconds <= 0);
        QTemporaryFile decoded(QDir::temp().filePath(QStringLiteral("mincer-capture-XXXXXX.raw")));
        BeatTracker tracker;
        const QString music
            = needsMusic ? rawMusic(found, decoded, onBeats ? &tracker : nullptr) : found;
        // The scenes live until the process ends, as in the demo (and stay reachable to the
        // end, so that a leak checker does not count them).
        static const auto *scenes = new QList<Instruction *>(createScenes());
        FrameSequence sequence(*scenes, options.fps);
        if (onBeats) {
            tracker.finish();
            sequence.setBeats(tracker.beatsNs());
        }

        QElapsedTimer wall;
        wall.start();
        switch (options.mode) {
        case Mode::Video:
            captureVideo(options, sequence, music);
            break;
        case Mode::Frames:
            captureFrames(options, sequence, music);
            break;
        case Mode::At:
            captureStill(options, sequence);
            break;
        case Mode::Storyboard:
            captureStoryboard(options, sequence, music);
            break;
        case Mode::Null:
            captureNull(options, sequence, music);
            break;
        case Mode::None:
            break;
        }
        reportRate(sequence, options.size, wall.nsecsElapsed(), options.mode == Mode::Video);
    } catch (const Failure &failure) {
        std::fprintf(stderr, "mincer-capture: %s\n", qPrintable(failure.message));
        return 1;
    }
    return 0;
}
