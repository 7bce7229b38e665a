#ifndef MUSICBUFFER_H
#define MUSICBUFFER_H

#include "musicsource.h"

#include <QString>
#include <QThread>

#include <atomic>
#include <memory>
#include <vector>

// The music in memory, in the show's format: a thread of its own reads it from its source ahead
// of the audio callback, which copies it from here without waiting, locking or allocating.
//
// A file is kept whole, so that it can be played again from the start; it takes its length in
// memory (10 minutes: 106 MB). A pipe passes through a ring of a few seconds: the loader waits
// while the ring is full.
class MusicBuffer
{
public:
    static constexpr qint64 chunkBytes = musicBytesPerSecond; // one second of music
    static constexpr qint64 mostChunks = longestMusicSeconds; // a file is kept whole, in 1 s chunks
    static constexpr qint64 ringChunks = 4; // a pipe's ring: 4 s

    // Whether music of `bytes` bytes is short enough to be kept whole.
    static bool canHold(qint64 bytes) { return bytes <= mostChunks * chunkBytes; }
    // The memory left for music (bytes): what the system has available (MemAvailable) or this
    // process's address space may still take, whichever is less, each less what the show takes
    // besides; no limit where neither is known.
    static qint64 memoryForMusicBytes();
    // Why music `name` cannot be held: `why`, and that it is too long.
    static QString tooLongToHold(const QString &name, const QString &why);

    explicit MusicBuffer(std::unique_ptr<MusicSource> source);
    // Stops the loader, waiting for it as long as it takes.
    ~MusicBuffer();
    // Stops the loader of `music` and deletes it; one that has not stopped within `timeoutMs` (it
    // waits for a pipe that gives nothing) is left, with its music, to the end of the process.
    static void release(std::unique_ptr<MusicBuffer> music, int timeoutMs);

    // Starts reading the music on the loader thread.
    void startLoading();
    // Stops the loader; false when it has not stopped within `timeoutMs` (it waits for a pipe).
    bool stopLoading(int timeoutMs);
    // Waits up to `timeoutMs` until `bytes` bytes are loaded or loading has ended; true if so.
    bool waitFor(qint64 bytes, int timeoutMs) const;
    // Audio thread: the music before `position` has been played, and a pipe's ring may take the
    // next in its place.
    void playedTo(qint64 position) { played.store(position, std::memory_order_release); }
    // GUI thread, while no sound device plays: the show has passed `position` without sound.
    // A pipe's ring then goes on without the music before it, as if it had been played.
    void passedTo(qint64 position) { passed.store(position, std::memory_order_release); }

    // Any thread: the bytes loaded so far.
    qint64 loadedBytes() const { return loaded.load(std::memory_order_acquire); }
    // Any thread: whether the whole music is loaded, or loading stopped at an error.
    bool hasEnded() const { return ended.load(std::memory_order_acquire); }
    // Once ended: whether it stopped at an error, and which.
    bool hasFailed() const { return hasEnded() && !problem.isEmpty(); }
    QString errorString() const { return hasEnded() ? problem : QString(); }
    // Whether the music can be played again from the start: a file, loaded whole without error.
    bool canStartOver() const { return keptWhole && hasEnded() && problem.isEmpty(); }
    // The music's length in bytes: exact once loading has ended, else as far as the source tells
    // (-1: not known).
    qint64 lengthBytes() const { return hasEnded() ? loadedBytes() : expected; }

    // Any thread: copies up to `maxBytes` bytes of the music from byte `position` on, as far as
    // it is loaded; returns the bytes copied. A pipe's ring holds the music from where it was last
    // played or passed on.
    qint64 read(qint64 position, char *out, qint64 maxBytes) const;

private:
    void load();
    char *chunk(qint64 index) const { return chunks[size_t(index % slotCount)].get(); }

    std::unique_ptr<MusicSource> source;
    const bool keptWhole;
    const qint64 expected;
    const qint64 slotCount; // chunks held at once
    std::vector<std::unique_ptr<char[]>> chunks;
    std::atomic<qint64> loaded {0};
    std::atomic<qint64> played {0}; // by the audio thread: the ring's chunks before it are free
    std::atomic<qint64> passed {0}; // by the GUI thread without sound: so are those before it
    std::atomic<bool> ended {false};
    std::atomic<bool> stopping {false};
    QString problem; // written by the loader before `ended`
    std::unique_ptr<QThread> loader;
};

#endif // MUSICBUFFER_H
