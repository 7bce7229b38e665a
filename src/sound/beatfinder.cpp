#include "beatfinder.h"

#include "beattracker.h"
#include "musicbuffer.h"

#include <QThread>

#include <limits>

#include <sys/resource.h>
#include <unistd.h>

BeatFinder::BeatFinder(const MusicBuffer &loaded) : music(loaded)
{
    thread.reset(QThread::create([this] { run(); }));
    thread->start();
}

BeatFinder::~BeatFinder()
{
    stopping.store(true, std::memory_order_release);
    thread->wait();
}

void BeatFinder::run()
{
    // Below the loader, which itself yields to the window and the sound.
    constexpr int finderNiceness = 15;
    setpriority(PRIO_PROCESS, gettid(), finderNiceness);
    BeatTracker tracker;
    std::vector<char> piece(static_cast<size_t>(musicBytesPerSecond));
    qint64 position = 0;
    // The beats are handed over after 30 s of music, and then whenever the music analysed has
    // doubled: all the work of finding them, done again each time, costs at most twice the last.
    qint64 handOverAtFrames = 30 * musicRateHz;
    while (!stopping.load(std::memory_order_acquire)) {
        const bool ended = music.hasEnded();
        const qint64 got = music.read(position, piece.data(), qint64(piece.size()));
        if (got > 0) {
            tracker.feed(piece.data(), got);
            position += got;
            if (tracker.fedFrames() >= handOverAtFrames) {
                handOver(tracker, false);
                handOverAtFrames *= 2;
            }
        } else if (ended) {
            handOver(tracker, true);
            return;
        } else {
            QThread::msleep(20);
        }
    }
}

void BeatFinder::handOver(BeatTracker &tracker, bool finished)
{
    if (finished)
        tracker.finish();
    const qint64 settledFrames
        = finished ? tracker.fedFrames() : tracker.fedFrames() - BeatTracker::unsettledFrames;
    std::vector<qint64> found = tracker.beatsNs(settledFrames);
    {
        const std::lock_guard<std::mutex> hold(handed);
        beatsNs = std::move(found);
        knownNs = finished ? std::numeric_limits<qint64>::max()
                           : BeatTracker::framesToNs(settledFrames);
    }
    handovers.fetch_add(1, std::memory_order_acq_rel);
}

std::vector<qint64> BeatFinder::beats(qint64 *knownUntilNs) const
{
    const std::lock_guard<std::mutex> hold(handed);
    *knownUntilNs = knownNs;
    return beatsNs;
}
