#ifndef MUSICSOURCE_H
#define MUSICSOURCE_H

#include <QString>

#include <memory>

// The show's sound format: signed 16-bit little-endian PCM, two interleaved channels, 44100 Hz.
// "music.raw" holds it without a header; every other song is decoded to it.
constexpr int musicRateHz = 44100; // sample frames per second
constexpr int musicChannels = 2;
constexpr int musicBytesPerFrame = 4; // one 16-bit sample per channel
constexpr int musicBytesPerSecond = musicRateHz * musicBytesPerFrame; // 176400
constexpr qint64 longestMusicSeconds = 24 * 3600; // the longest music the show plays or renders

// Where `bytes` of music end, as M:SS, or H:MM:SS from an hour on.
QString musicTime(qint64 bytes);

// A song's sound in the show's format, read from the start to the end in whole sample frames.
class MusicSource
{
public:
    virtual ~MusicSource() = default;

    // Reads at most `maxBytes` bytes (whole sample frames) into `out`. Returns the bytes read, 0 at
    // the end, -1 on an error (errorString() says which).
    virtual qint64 read(char *out, qint64 maxBytes) = 0;
    // The whole song's length in bytes, as far as it is known before it is read (-1: not known,
    // as for a pipe).
    virtual qint64 expectedBytes() const = 0;
    // Whether the song can be read again from the start: a file can, a pipe cannot.
    virtual bool isFile() const = 0;
    // What went wrong, naming the song.
    virtual QString errorString() const = 0;
};

// Opens `path` ("-": standard input): headerless PCM when its name ends in ".raw" or it is not a
// regular file (a pipe), otherwise a song file to decode (MusicDecoder). Null, with one line
// naming it and saying why, when it cannot be played: missing, unreadable, a folder, not a song
// libsndfile reads, or without one whole sample frame.
std::unique_ptr<MusicSource> openMusic(const QString &path, QString *error);

// Whether a music file is headerless PCM in the show's format rather than a song to decode: its
// name ends in ".raw" (in any case), or it is no regular file (a pipe, standard input).
bool isRawMusic(const QString &path);

// How a song is named in messages: its path as given, or "standard input".
QString musicName(const QString &path);

#endif // MUSICSOURCE_H
