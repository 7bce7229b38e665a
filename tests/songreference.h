#ifndef SONGREFERENCE_H
#define SONGREFERENCE_H

// Test songs and how they should sound in the show's format, by tools independent of libsndfile
// and libsoxr: ffmpeg's own decoders, then sox for rate, channels and sample size (its resampler
// at high quality, rounding and clipping, no dither).

#include <QFile>
#include <QProcess>
#include <QtEndian>

#include <cmath>

// Lossy or resampled songs: other decoders (mpg123, libvorbis, libopus) differ from ffmpeg's in
// the last bits, 104-112 dB below the signal on Debian 12, 85 dB for Opus on Debian 13 (libopus
// 1.5 against ffmpeg 7's own decoder); a sample too early or late, a wrong rate, level (by 0.1 dB)
// or channel order, or samples wrapped around instead of clipped give less than 50 dB.
constexpr double songMatchSnrDb = 70;

inline bool runTool(const QString &program, const QStringList &arguments)
{
    QProcess tool;
    tool.start(program, arguments);
    return tool.waitForFinished(60000) && tool.exitStatus() == QProcess::NormalExit
        && tool.exitCode() == 0;
}

// Encodes `source` into `song` (the format from its name) with ffmpeg's output `options`.
inline bool makeSong(const QString &source, const QString &song, const QStringList &options)
{
    return runTool("ffmpeg", QStringList {"-v", "error", "-y", "-i", source} + options << song);
}

// The reference decode of `song` in the show's format; empty when a tool failed.
inline QByteArray referenceDecode(const QString &song)
{
    const QString decoded = song + ".float.wav", converted = song + ".reference.raw";
    QFile reference(converted);
    if (!runTool("ffmpeg", {"-v", "error", "-y", "-i", song, "-c:a", "pcm_f32le", decoded})
        || !runTool("sox",
                    {"-D", "-V1", decoded, "-t", "raw", "-e", "signed", "-b", "16", "-c", "2", "-r",
                     "44100", "-L", converted})
        || !reference.open(QIODevice::ReadOnly))
        return {};
    return reference.readAll();
}

// How far the difference of two sounds lies below the reference's power over its first `bytes`
// bytes, in dB: infinite when they are the same.
inline double snrDb(const QByteArray &sound, const QByteArray &reference, int bytes)
{
    double signal = 0, difference = 0;
    for (int i = 0; i < bytes / 2 && 2 * i + 1 < qMin(sound.size(), reference.size()); ++i) {
        const double wanted = qFromLittleEndian<qint16>(reference.constData() + 2 * i);
        const double got = qFromLittleEndian<qint16>(sound.constData() + 2 * i);
        signal += wanted * wanted;
        difference += (got - wanted) * (got - wanted);
    }
    return difference == 0 ? INFINITY : 10 * std::log10(signal / difference);
}

#endif // SONGREFERENCE_H
