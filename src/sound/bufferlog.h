#ifndef BUFFERLOG_H
#define BUFFERLOG_H

#include <QtGlobal>

#include <array>
#include <atomic>
#include <limits>

// What the audio callback tells another thread of the sound device's requests: when each buffer
// was asked for, and how many bytes of sound, and of music, had been handed over by then in all.
// Written by the audio thread only and read by one other thread only, through atomics, so that
// the callback neither allocates nor locks. Since the counts are running totals, a reader held up
// so long that requests were written over before it read them loses none of their bytes: they
// come with the first request it still reads.
class BufferLog
{
public:
    // Requests held for the reader: some 20 s of the 20 ms buffers the device is asked for.
    static constexpr quint64 capacity = 1024;

    // Audio thread: a buffer of `bytes` was handed to the device at `timeNs` (ns of the monotonic
    // clock), its first `musicBytes` music and the rest silence.
    void append(qint64 timeNs, int bytes, int musicBytes);

    // Reader: calls take(timeNs, bytes, musicBytes) for every request not taken yet, oldest first,
    // with what was handed over since the request taken before it (all qint64). Requests written
    // over before they were read count with the first one read after them.
    template<typename Take> void takeNew(Take take);
    // Any thread: the time of the latest request (long ago when there was none).
    qint64 lastRequestNs() const { return lastNs.load(std::memory_order_acquire); }

private:
    // A request, with the totals handed over up to its end.
    struct Entry
    {
        qint64 timeNs, handedBytes, musicBytes;
    };
    struct Slot
    {
        // 2 n + 1 while request n is written into the slot, 2 n + 2 once it is.
        std::atomic<quint64> version {0};
        std::atomic<qint64> timeNs {0}, handedBytes {0}, musicBytes {0};
    };

    // Request `index`, unless it is being written or has been written over: never one request's
    // time with another's totals.
    bool read(quint64 index, Entry *entry) const;

    std::array<Slot, capacity> ring {};
    std::atomic<quint64> written {0};
    std::atomic<qint64> lastNs {std::numeric_limits<qint64>::min() / 2};
    // The audio thread's
    qint64 handedTotal = 0, musicTotal = 0;
    // The reader's: the next request to take, and the totals up to it.
    quint64 taken = 0;
    qint64 takenHanded = 0, takenMusic = 0;
};

template<typename Take> void BufferLog::takeNew(Take take)
{
    for (quint64 end = written.load(std::memory_order_acquire); taken < end; ++taken) {
        if (end - taken > capacity)
            taken = end - capacity; // those before are written over
        Entry entry;
        if (!read(taken, &entry)) {
            // Written over meanwhile: its bytes come with the next one read.
            end = written.load(std::memory_order_acquire);
            continue;
        }
        const qint64 handed = entry.handedBytes - takenHanded;
        const qint64 music = entry.musicBytes - takenMusic;
        takenHanded = entry.handedBytes;
        takenMusic = entry.musicBytes;
        take(entry.timeNs, handed, music);
    }
}

#endif // BUFFERLOG_H
