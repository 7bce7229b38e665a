#include "musicdecoder.h"
#include "musicsource.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QtEndian>

#include <sndfile.h>
#include <soxr.h>

#include <algorithm>
#include <cmath>

namespace {

constexpr qint64 chunkFrames = 4096; // source or output frames decoded at a time
constexpr float centreGain = 0.70710678f; // -3 dB on each side

// Which side a channel at a libsndfile position plays on: 'L', 'R', 'C' (both) or 'X' (neither).
char sideOf(int position)
{
    switch (position) {
    case SF_CHANNEL_MAP_LEFT:
    case SF_CHANNEL_MAP_FRONT_LEFT:
    case SF_CHANNEL_MAP_FRONT_LEFT_OF_CENTER:
    case SF_CHANNEL_MAP_REAR_LEFT:
    case SF_CHANNEL_MAP_SIDE_LEFT:
    case SF_CHANNEL_MAP_TOP_FRONT_LEFT:
    case SF_CHANNEL_MAP_TOP_REAR_LEFT:
        return 'L';
    case SF_CHANNEL_MAP_RIGHT:
    case SF_CHANNEL_MAP_FRONT_RIGHT:
    case SF_CHANNEL_MAP_FRONT_RIGHT_OF_CENTER:
    case SF_CHANNEL_MAP_REAR_RIGHT:
    case SF_CHANNEL_MAP_SIDE_RIGHT:
    case SF_CHANNEL_MAP_TOP_FRONT_RIGHT:
    case SF_CHANNEL_MAP_TOP_REAR_RIGHT:
        return 'R';
    case SF_CHANNEL_MAP_LFE:
        return 'X';
    default:
        return 'C';
    }
}

// The sides of a file's channels: from the channel map the file carries, else from the usual
// order of its format for that many channels (Vorbis and Opus put the centre second, WAV, FLAC and
// the rest third), else every channel on both sides.
QByteArray channelSides(SNDFILE *file, const SF_INFO &info)
{
    std::vector<int> map(size_t(info.channels));
    if (sf_command(file, SFC_GET_CHANNEL_MAP_INFO, map.data(), int(map.size() * sizeof(int)))) {
        QByteArray sides;
        for (int position : map)
            sides += sideOf(position);
        return sides;
    }
    static const char *const waveOrder[]
        = {"LRC", "LRLR", "LRCLR", "LRCXLR", "LRCXCLR", "LRCXLRLR"};
    static const char *const vorbisOrder[]
        = {"LCR", "LRLR", "LCRLR", "LCRLRX", "LCRLRCX", "LCRLRLRX"};
    const bool xiph = (info.format & SF_FORMAT_SUBMASK) == SF_FORMAT_VORBIS
        || (info.format & SF_FORMAT_SUBMASK) == SF_FORMAT_OPUS;
    if (info.channels >= 3 && info.channels <= 8)
        return (xiph ? vorbisOrder : waveOrder)[info.channels - 3];
    return QByteArray(info.channels, 'C');
}

// A sample at full scale 1.0 as 16 bits: rounded, clipped, and silence for what is no number.
qint16 toSample16(float value)
{
    if (std::isnan(value))
        return 0;
    return qint16(std::lrint(std::clamp(value * 32768.0f, -32768.0f, 32767.0f)));
}

// The sound bytes a WAV or AIFF header declares when the file holds fewer (a truncated file),
// from libsndfile's log, which notes it as "data : 882000 (should be 399956)"; 0 otherwise. A
// header written before its length was known (0 or 0xFFFFFFFF) declares nothing.
qint64 declaredSoundBytes(SNDFILE *file, qint64 *heldBytes)
{
    char log[4096] = {};
    sf_command(file, SFC_GET_LOG_INFO, log, sizeof log);
    static const QRegularExpression truncated(
        QStringLiteral("(?:data|SSND) : (\\d+) \\(should be (\\d+)\\)"));
    const QRegularExpressionMatch match = truncated.match(QString::fromLatin1(log));
    if (!match.hasMatch())
        return 0;
    const qint64 declared = match.captured(1).toLongLong();
    *heldBytes = match.captured(2).toLongLong();
    if (declared <= 0 || declared >= 0x7fffffff || declared <= *heldBytes)
        return 0;
    return declared;
}

QString seconds(qint64 frames, int rateHz)
{
    return QString::number(double(frames) / rateHz, 'f', 2) + QStringLiteral(" s");
}

} // namespace

MusicDecoder::MusicDecoder() = default;

MusicDecoder::~MusicDecoder()
{
    close();
}

void MusicDecoder::close()
{
    if (resampler)
        soxr_delete(resampler);
    resampler = nullptr;
    if (file)
        sf_close(file);
    file = nullptr;
}

bool MusicDecoder::open(const QString &songPath, QString *openError)
{
    path = songPath;
    auto refuse = [&](const QString &why) {
        close();
        if (openError)
            *openError = QStringLiteral("%1: %2").arg(path, why);
        return false;
    };
    // The system's reason for a file that cannot be opened at all (libsndfile's would be vaguer).
    QFile song(path);
    if (QFileInfo(path).isDir() || !song.open(QIODevice::ReadOnly))
        return refuse(QFileInfo(path).isDir() ? QStringLiteral("is a folder, not a song")
                                              : song.errorString());
    song.close();

    SF_INFO info {};
    file = sf_open(QFile::encodeName(path).constData(), SFM_READ, &info);
    if (!file)
        return refuse(QStringLiteral("not a song libsndfile can read (%1)")
                          .arg(QString::fromLocal8Bit(sf_strerror(nullptr))));
    if (info.channels < 1 || info.samplerate < 1)
        return refuse(QStringLiteral("no sound in it (%1 channels at %2 Hz)")
                          .arg(info.channels)
                          .arg(info.samplerate));
    channels = info.channels;
    sourceRateHz = info.samplerate;

    // Mono plays on both sides as it is; more channels are scaled so that no side sums to more
    // than full scale.
    const QByteArray sides = channels == 1 ? QByteArray("M")
        : channels == 2                    ? QByteArray("LR")
                                           : channelSides(file, info);
    float leftSum = 0, rightSum = 0;
    for (char side : sides) {
        leftGains.push_back(side == 'L' || side == 'M' ? 1 : side == 'C' ? centreGain : 0);
        rightGains.push_back(side == 'R' || side == 'M' ? 1 : side == 'C' ? centreGain : 0);
        leftSum += leftGains.back();
        rightSum += rightGains.back();
    }
    const float scale = 1 / std::max({leftSum, rightSum, 1.0f});
    for (int c = 0; c < channels; ++c) {
        leftGains[size_t(c)] *= scale;
        rightGains[size_t(c)] *= scale;
    }

    // libsndfile never reads past the length it tells, so that length bounds the output. For an
    // MP3 without a header that counts its frames, it is an estimate from the file's size and
    // first frame: close for a constant bit rate; libsndfile ends a variable one there too.
    const bool lengthKnown = info.frames > 0 && info.frames < SF_COUNT_MAX;
    if (lengthKnown) {
        declaredFrames = info.frames;
        boundFrames = qint64(std::ceil(double(info.frames) * musicRateHz / sourceRateHz));
    }
    if ((info.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_MPEG)
        shortfallToleranceFrames = sourceRateHz; // 1 s
    qint64 heldBytes = 0;
    if (const qint64 declaredBytes = declaredSoundBytes(file, &heldBytes);
        lengthKnown && declaredBytes)
        declaredFrames = qint64(double(info.frames) * declaredBytes / heldBytes);

    sourceSamples.resize(size_t(chunkFrames * channels));
    sourceStereo.resize(size_t(chunkFrames * musicChannels));
    if (sourceRateHz != musicRateHz) {
        soxr_error_t soxrError = nullptr;
        const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
        const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
        resampler = soxr_create(sourceRateHz, musicRateHz, musicChannels, &soxrError, &io, &quality,
                                nullptr);
        if (!resampler || soxrError
            || (soxrError = soxr_set_input_fn(resampler, supplyResampler, this, chunkFrames)))
            return refuse(QStringLiteral("cannot resample from %1 Hz (%2)")
                              .arg(sourceRateHz)
                              .arg(QString::fromLatin1(soxrError ? soxrError : "no resampler")));
        outputStereo.resize(size_t(chunkFrames * musicChannels));
    }
    return true;
}

qint64 MusicDecoder::expectedBytes() const
{
    return boundFrames < 0 ? -1 : boundFrames * musicBytesPerFrame;
}

// Reads up to `frames` frames of the song at its own rate into sourceStereo, mixed to two
// channels. Returns the frames read; 0 at the end of what libsndfile decodes, after which a
// decode error or a file shorter than its header declares is noted.
qint64 MusicDecoder::readSourceStereo(qint64 frames)
{
    if (sourceEnded || !file)
        return 0;
    const qint64 got = sf_readf_float(file, sourceSamples.data(), std::min(frames, chunkFrames));
    if (got <= 0) {
        sourceEnded = true;
        if (sf_error(file) != SF_ERR_NO_ERROR)
            fail(QStringLiteral("%1: decoding stopped at %2: %3")
                     .arg(path, seconds(sourceFramesRead, sourceRateHz),
                          QString::fromLocal8Bit(sf_strerror(file))));
        else if (declaredFrames > 0 && sourceFramesRead + shortfallToleranceFrames < declaredFrames)
            fail(QStringLiteral("%1: the sound ends at %2, short of the %3 the file declares: "
                                "the file is truncated or damaged")
                     .arg(path, seconds(sourceFramesRead, sourceRateHz),
                          seconds(declaredFrames, sourceRateHz)));
        return 0;
    }
    for (qint64 f = 0; f < got; ++f) {
        const float *in = &sourceSamples[size_t(f * channels)];
        float left = 0, right = 0;
        for (int c = 0; c < channels; ++c) {
            left += in[c] * leftGains[size_t(c)];
            right += in[c] * rightGains[size_t(c)];
        }
        sourceStereo[size_t(2 * f)] = left;
        sourceStereo[size_t(2 * f + 1)] = right;
    }
    sourceFramesRead += got;
    return got;
}

size_t MusicDecoder::supplyResampler(void *decoder, const void **data, size_t requestedFrames)
{
    auto *self = static_cast<MusicDecoder *>(decoder);
    *data = self->sourceStereo.data();
    // End of input (not failure) on an error as well, so that the resampler gives out what it
    // holds: the song plays up to where decoding stopped.
    return size_t(self->readSourceStereo(qint64(requestedFrames)));
}

void MusicDecoder::fail(const QString &message)
{
    failed = true;
    error = message;
}

qint64 MusicDecoder::read(char *out, qint64 maxBytes)
{
    if (!file)
        return -1;
    qint64 frames = maxBytes / musicBytesPerFrame;
    if (boundFrames >= 0)
        frames = std::min(frames, boundFrames - framesWritten);
    qint64 written = 0;
    while (written < frames) {
        const qint64 want = std::min(frames - written, chunkFrames);
        qint64 got = 0;
        const float *stereo = nullptr;
        if (resampler) {
            got = qint64(soxr_output(resampler, outputStereo.data(), size_t(want)));
            stereo = outputStereo.data();
            if (got == 0 && !failed && soxr_error(resampler))
                fail(QStringLiteral("%1: resampling failed at %2 (%3)")
                         .arg(path, seconds(framesWritten + written, musicRateHz),
                              soxr_error(resampler)));
        } else {
            got = readSourceStereo(want);
            stereo = sourceStereo.data();
        }
        if (got <= 0)
            break;
        for (qint64 i = 0; i < got * musicChannels; ++i)
            qToLittleEndian(toSample16(stereo[i]), out + (written * musicChannels + i) * 2);
        written += got;
    }
    framesWritten += written;
    // At the length libsndfile told, its end is still to be read, for the errors it may note.
    if (framesWritten == boundFrames && !sourceEnded)
        readSourceStereo(chunkFrames);
    if (written > 0)
        return written * musicBytesPerFrame;
    return failed ? -1 : 0;
}
