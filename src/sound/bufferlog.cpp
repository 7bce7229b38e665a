#include "bufferlog.h"

void BufferLog::append(qint64 timeNs, int bytes, int musicBytes)
{
    const quint64 n = written.load(std::memory_order_relaxed);
    handedTotal += bytes;
    musicTotal += musicBytes;
    // A seqlock per slot: the version is odd while the slot is written.
    Slot &slot = ring[n % capacity];
    slot.version.store(2 * n + 1, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
    slot.timeNs.store(timeNs, std::memory_order_relaxed);
    slot.handedBytes.store(handedTotal, std::memory_order_relaxed);
    slot.musicBytes.store(musicTotal, std::memory_order_relaxed);
    slot.version.store(2 * n + 2, std::memory_order_release);
    written.store(n + 1, std::memory_order_release);
    lastNs.store(timeNs, std::memory_order_release);
}

bool BufferLog::read(quint64 index, Entry *entry) const
{
    const Slot &slot = ring[index % capacity];
    const quint64 version = 2 * index + 2;
    if (slot.version.load(std::memory_order_acquire) != version)
        return false;
    entry->timeNs = slot.timeNs.load(std::memory_order_relaxed);
    entry->handedBytes = slot.handedBytes.load(std::memory_order_relaxed);
    entry->musicBytes = slot.musicBytes.load(std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_acquire);
    return slot.version.load(std::memory_order_relaxed) == version;
}
