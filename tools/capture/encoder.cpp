#include "encoder.h"

#include "musicsource.h"

#include <QImage>

VideoEncoder::VideoEncoder(const QString &program) : programName(program)
{
    // ffmpeg's own messages are kept to explain a failure.
    process.setReadChannel(QProcess::StandardError);
}

VideoEncoder::~VideoEncoder()
{
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished(-1);
    }
}

bool VideoEncoder::start(const QString &outPath, QSize size, int fps, qint64 frames,
                         const QString &music)
{
    const QString seconds = QString::number(double(frames) / fps, 'f', 6);
    const QStringList arguments {
        "-hide_banner", "-nostdin", "-nostats", "-loglevel", "error", "-y",
        // The frames: raw RGB32 from the standard input (bytes B, G, R, unused).
        "-f", "rawvideo", "-pix_fmt", "bgr0", "-video_size",
        QStringLiteral("%1x%2").arg(size.width()).arg(size.height()), "-framerate",
        QString::number(fps), "-i", "pipe:0",
        // The music: headerless signed 16-bit little-endian PCM.
        "-f", "s16le", "-ar", QString::number(musicRateHz), "-ac", QString::number(musicChannels),
        "-i", music, "-map", "0:v", "-map", "1:a", "-c:v", "libx264", "-preset", "veryfast", "-crf",
        "18", "-pix_fmt", "yuv420p", "-c:a", "aac", "-b:a", "192k",
        // Silence after the music, then everything cut to the length of the frames.
        "-af", "apad", "-t", seconds, "-movflags", "+faststart", outPath};
    process.start(programName, arguments);
    if (!process.waitForStarted(-1)) {
        error = QStringLiteral("cannot run %1 (%2): install ffmpeg or name it with --ffmpeg")
                    .arg(programName, process.errorString());
        return false;
    }
    return true;
}

bool VideoEncoder::failure(const QString &what)
{
    process.waitForFinished(-1);
    // ffmpeg's last message line says why.
    const QList<QByteArray> lines = process.readAllStandardError().trimmed().split('\n');
    QString reason = QString::fromLocal8Bit(lines.last().trimmed());
    if (reason.isEmpty())
        reason = process.exitStatus() == QProcess::CrashExit
            ? QStringLiteral("crashed")
            : QStringLiteral("exit status %1").arg(process.exitCode());
    error = QStringLiteral("%1 %2: %3").arg(programName, what, reason);
    error.replace('\n', ' ');
    return false;
}

bool VideoEncoder::write(const QImage &frame)
{
    const qint64 frameBytes = frame.sizeInBytes();
    if (process.state() != QProcess::Running
        || process.write(reinterpret_cast<const char *>(frame.constBits()), frameBytes)
            != frameBytes)
        return failure(QStringLiteral("stopped early"));
    // Let ffmpeg work on one frame while the next is drawn, but keep no more than that queued.
    while (process.bytesToWrite() > frameBytes) {
        if (!process.waitForBytesWritten(-1))
            return failure(QStringLiteral("stopped early"));
    }
    return true;
}

bool VideoEncoder::finish()
{
    while (process.bytesToWrite() > 0) {
        if (!process.waitForBytesWritten(-1))
            return failure(QStringLiteral("stopped early"));
    }
    process.closeWriteChannel();
    process.waitForFinished(-1);
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        return failure(QStringLiteral("failed"));
    return true;
}
