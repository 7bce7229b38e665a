#ifndef MUSICDECODER_H
#define MUSICDECODER_H

#include <QString>
#include <QtGlobal>

#include <vector>

struct sf_private_tag; // libsndfile's SNDFILE
struct soxr;

// Decodes a song in any format libsndfile reads (WAV, AIFF, FLAC, Ogg Vorbis, Opus, MP3, ...) into
// the show's format: signed 16-bit little-endian samples, two interleaved channels, 44100 Hz
// (musicRateHz, musicChannels and musicBytesPerFrame in musicsource.h).
//
// 16-bit files at 44100 Hz come out bit-exact. Other rates are resampled by libsoxr at its high
// quality (SOXR_HQ, as sox's own default: 20-bit precision, linear phase, flat to 91.3% of the
// Nyquist frequency). Mono plays on both channels; more channels are mixed down to two, by their
// positions (front, side and rear left to the left, right to the right, centre ones to both at
// -3 dB, the LFE to neither), scaled so that the mix cannot clip. Samples are rounded to 16 bits
// and clipped at full scale. Decoding needs buffers of a fixed size only; meant for a loader
// thread, never for the audio callback.
class MusicDecoder
{
public:
    MusicDecoder();
    ~MusicDecoder();
    MusicDecoder(const MusicDecoder &) = delete;
    MusicDecoder &operator=(const MusicDecoder &) = delete;

    // Opens a song and prepares its conversion to the show's format (once per decoder). False, with
    // one line naming the file and the reason (the system's or libsndfile's) in *error, when it
    // cannot be read.
    bool open(const QString &path, QString *error);
    // Bytes of the show's format that the whole song gives at most, as far as the file tells
    // (read() never gives more); -1 when it does not tell.
    qint64 expectedBytes() const;
    // After a successful open: decodes the next at most maxBytes bytes (whole sample frames; at
    // least one) of the song in the show's format into out. Returns the bytes written; 0 at the
    // song's end; -1 on a decode error, with errorString() saying what. A file that ends before
    // the length its header declares is such an error, reported once all that could be decoded
    // has been read.
    qint64 read(char *out, qint64 maxBytes);
    // What went wrong, naming the file, the time in the song and libsndfile's reason.
    QString errorString() const { return error; }

private:
    static size_t supplyResampler(void *decoder, const void **data, size_t requestedFrames);
    qint64 readSourceStereo(qint64 frames);
    void close();
    void fail(const QString &message);

    QString path;
    sf_private_tag *file = nullptr;
    soxr *resampler = nullptr;
    int channels = 0;
    int sourceRateHz = 0;
    std::vector<float> leftGains, rightGains; // per source channel
    std::vector<float> sourceSamples; // one chunk as read, interleaved
    std::vector<float> sourceStereo; // the same chunk mixed to two channels
    std::vector<float> outputStereo; // one chunk at the show's rate (resampled songs)
    qint64 declaredFrames = -1; // source frames the header declares (-1: it does not tell)
    qint64 shortfallToleranceFrames = 0; // how much less than declared still counts as whole
    qint64 sourceFramesRead = 0;
    qint64 boundFrames = -1; // most frames read() gives (-1: not known)
    qint64 framesWritten = 0;
    bool sourceEnded = false;
    bool failed = false;
    QString error;
};

#endif // MUSICDECODER_H
