#include "songfile.h"

#include "beattracker.h"
#include "musicbuffer.h"

#include <algorithm>
#include <limits>

namespace {

// How long after it starts loading the music may take before the show starts (ms): a song read
// whole by then that cannot be decoded is refused before any window opens; a longer one starts and
// plays what decodes.
const int loadWaitMs = 100;
// How much music is loaded at least before it starts, so that it stays ahead of the sound device
// (bytes).
const qint64 headStartBytes = musicBytesPerSecond / 2;

} // namespace

std::unique_ptr<SongFile> SongFile::open(const QString &path, bool ownTiming, QString *error)
{
    std::unique_ptr<MusicSource> source = openMusic(path, error);
    if (!source)
        return nullptr;
    // A file is decoded whole into memory: refused up front when it cannot be held.
    const qint64 bytes = source->isFile() ? source->expectedBytes() : -1;
    const auto gigabytes = [](qint64 bytes) { return QString::number(bytes / 1e9, 'f', 1); };
    QString tooLong;
    if (!MusicBuffer::canHold(bytes))
        tooLong = QStringLiteral("%1 of music; at most %2 hours")
                      .arg(musicTime(bytes))
                      .arg(MusicBuffer::mostChunks / 3600);
    else if (const qint64 left = MusicBuffer::memoryForMusicBytes(); bytes > left)
        tooLong
            = QStringLiteral("%1 of music, %2 GB decoded; memory for %3 GB")
                  .arg(musicTime(bytes), gigabytes(bytes), gigabytes(std::max<qint64>(0, left)));
    if (!tooLong.isEmpty()) {
        *error = MusicBuffer::tooLongToHold(musicName(path), tooLong);
        return nullptr;
    }
    std::unique_ptr<SongFile> song(new SongFile);
    song->songName = musicName(path);
    song->pipe = !source->isFile();
    // The beats are found in music kept whole only: a pipe's ring is recycled under the reader.
    song->onBeats = !song->pipe && ::followsBeats(path, ownTiming);
    song->music = std::make_unique<MusicBuffer>(std::move(source));
    song->music->startLoading();
    song->loading.start();
    // A pipe: its first sound, or its end.
    if (song->pipe)
        song->music->waitFor(musicBytesPerFrame, std::numeric_limits<int>::max());
    return song;
}

SongFile::~SongFile()
{
    MusicBuffer::release(std::move(music), 200);
}

bool SongFile::refused(QString *error) const
{
    if (music->hasFailed())
        *error = music->errorString();
    else if (music->hasEnded() && music->loadedBytes() == 0)
        *error = QStringLiteral("%1 holds no whole sample frame").arg(songName);
    else
        return false;
    return true;
}

bool SongFile::waitUntilReady(QString *error)
{
    music->waitFor(std::numeric_limits<qint64>::max(),
                   int(std::max<qint64>(0, loadWaitMs - loading.elapsed())));
    music->waitFor(headStartBytes, std::numeric_limits<int>::max());
    return !refused(error);
}

std::unique_ptr<MusicBuffer> SongFile::takeMusic()
{
    return std::move(music);
}
