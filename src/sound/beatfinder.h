#ifndef BEATFINDER_H
#define BEATFINDER_H

#include <QtGlobal>

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

class BeatTracker;
class MusicBuffer;
class QThread;

// The beats of a song loaded whole into a MusicBuffer, found on a thread of its own at low
// priority as the song loads, ahead of the picture; read from any thread.
class BeatFinder
{
public:
    explicit BeatFinder(const MusicBuffer &music);
    // Stops the thread, which looks for it after each second of music it analyses (a few ms of
    // work whatever the song's length: nothing found is searched again).
    ~BeatFinder();

    // Any thread: how often the beats found so far have been handed over (0: not yet).
    int handedOver() const { return handovers.load(std::memory_order_acquire); }
    // Any thread: the beats found so far (ns from the music's start, ascending), final before
    // `knownUntilNs` (the whole song once it has been analysed to its end).
    std::vector<qint64> beats(qint64 *knownUntilNs) const;

private:
    void run();
    void handOver(BeatTracker &tracker, bool finished);

    const MusicBuffer &music;
    std::atomic<bool> stopping {false};
    std::atomic<int> handovers {0};
    mutable std::mutex handed;
    std::vector<qint64> beatsNs;
    qint64 knownNs = 0;
    std::unique_ptr<QThread> thread;
};

#endif // BEATFINDER_H
