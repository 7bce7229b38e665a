#ifndef SONGREFERENCE_H
#define SONGREFERENCE_H

// Test songs and what they should sound like in the show's format (16-bit little-endian stereo
// at 44100 Hz), made by tools independent of the program's libsndfile and libsoxr: ffmpeg encodes
// the songs and decodes them with its own decoders, and sox converts the decoded sound's rate,
// channels and sample size (its resampler at high quality, its rounding and clipping, no dither).

#include <QByteArray>
#include <QFile>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QtEndian>

#include <cmath>
#include <limits>

// How closely a lossy or resampled song must match the reference: sound decoded by different
// decoders (mpg123 and ffmpeg's for MP3, libvorbis and ffmpeg's for Vorbis, libopus and ffmpeg's
// for Opus) differs within the rounding of its last bit, about 105-112 dB below a signal at full
// scale. A sample too early or late, a wrong rate or channel order, a wrong level by 0.1 dB, or
// samples wrapped around instead of clipped all give less than 50 dB.
constexpr double songMatchSnrDb = 90;

// Runs a tool; true when it ran and succeeded.
inline bool runTool(const QString &program, const QStringList &arguments)
{
    QProcess tool;
    tool.start(program, arguments);
    return tool.waitForFinished(60000) && tool.exitStatus() == QProcess::NormalExit
        && tool.exitCode() == 0;
}

// Encodes `source` into `song` with ffmpeg and the given output options (codec, rate, filters).
inline bool makeSong(const QString &source, const QString &song, const QStringList &options)
{
    return runTool("ffmpeg",
                   QStringList {"-v", "error", "-y", "-i", source} + options + QStringList {song});
}

// The reference decode of `song` in the show's format; empty when a tool failed. ffmpeg keeps
// the decoded sound as floats, at the song's own rate and channels, for sox to convert.
inline QByteArray referenceDecode(const QString &song)
{
    const QString decoded = song + ".reference.wav", converted = song + ".reference.raw";
    if (!runTool("ffmpeg", {"-v", "error", "-y", "-i", song, "-c:a", "pcm_f32le", decoded})
        || !runTool("sox",
                    {"-D", "-V1", decoded, "-t", "raw", "-e", "signed", "-b", "16", "-c", "2", "-r",
                     "44100", "-L", converted}))
        return {};
    QFile file(converted);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// How far below the reference's power the difference lies, over the reference's first `bytes`
// bytes (all of it by default), in dB; infinite when they are the same.
inline double snrDb(const QByteArray &sound, const QByteArray &reference, int bytes = -1)
{
    const int samples = (bytes < 0 ? reference.size() : bytes) / 2;
    if (sound.size() < 2 * samples || reference.size() < 2 * samples)
        return -std::numeric_limits<double>::infinity();
    double signal = 0, difference = 0;
    for (int i = 0; i < samples; ++i) {
        const double wanted = qFromLittleEndian<qint16>(reference.constData() + 2 * i);
        const double got = qFromLittleEndian<qint16>(sound.constData() + 2 * i);
        signal += wanted * wanted;
        difference += (got - wanted) * (got - wanted);
    }
    return difference == 0 ? std::numeric_limits<double>::infinity()
                           : 10 * std::log10(signal / difference);
}

#endif // SONGREFERENCE_H
