#include "musicbuffer.h"

#include <QElapsedTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

#include <sys/resource.h>
#include <unistd.h>

MusicBuffer::MusicBuffer(std::unique_ptr<MusicSource> music)
    : source(std::move(music)),
      keptWhole(source->isFile()),
      expected(source->expectedBytes()),
      slotCount(keptWhole ? mostChunks : ringChunks),
      chunks(size_t(slotCount))
{ }

MusicBuffer::~MusicBuffer()
{
    stopLoading(-1);
}

void MusicBuffer::release(std::unique_ptr<MusicBuffer> music, int timeoutMs)
{
    if (music && !music->stopLoading(timeoutMs))
        music.release();
}

namespace {

// What the show takes besides its music at the most, with room: measured at 3840x2160, 290 MB of
// memory and 980 MB of address space (thread stacks and the allocator's arenas, reserved).
constexpr qint64 showMemoryBytes = 512 * 1024 * 1024;
constexpr qint64 showAddressSpaceBytes = 1024 * 1024 * 1024;

} // namespace

qint64 MusicBuffer::memoryForMusicBytes()
{
    // The figures of /proc in kB, by their names.
    const auto procKb = [](const char *path, const char *name) -> qint64 {
        FILE *file = std::fopen(path, "r");
        if (!file)
            return -1;
        const size_t nameLength = std::strlen(name);
        char line[256];
        long long kb = -1;
        while (std::fgets(line, sizeof line, file)) {
            if (std::strncmp(line, name, nameLength) == 0 && line[nameLength] == ':') {
                kb = std::atoll(line + nameLength + 1);
                break;
            }
        }
        std::fclose(file);
        return kb;
    };
    qint64 leftBytes = std::numeric_limits<qint64>::max();
    if (const qint64 kb = procKb("/proc/meminfo", "MemAvailable"); kb >= 0)
        leftBytes = kb * 1024 - showMemoryBytes;
    rlimit space {};
    if (getrlimit(RLIMIT_AS, &space) == 0 && space.rlim_cur != RLIM_INFINITY) {
        const qint64 usedKb = std::max<qint64>(0, procKb("/proc/self/status", "VmSize"));
        leftBytes
            = std::min(leftBytes, qint64(space.rlim_cur) - usedKb * 1024 - showAddressSpaceBytes);
    }
    return leftBytes;
}

QString MusicBuffer::tooLongToHold(const QString &name, const QString &why)
{
    return QStringLiteral("%1 is too long to hold (%2)").arg(name, why);
}

bool MusicBuffer::stopLoading(int timeoutMs)
{
    stopping.store(true, std::memory_order_release);
    return !loader
        || loader->wait(timeoutMs < 0 ? QDeadlineTimer(QDeadlineTimer::Forever)
                                      : QDeadlineTimer(timeoutMs));
}

void MusicBuffer::startLoading()
{
    loader.reset(QThread::create([this] { load(); }));
    loader->start();
}

void MusicBuffer::load()
{
    // Loading runs far ahead of real time: it yields to the window and the sound, so that a song
    // decoded while the show starts does not hold up the start.
    constexpr int loaderNiceness = 10;
    setpriority(PRIO_PROCESS, gettid(), loaderNiceness);
    qint64 done = 0;
    try {
        while (!stopping.load(std::memory_order_acquire)) {
            const qint64 index = done / chunkBytes;
            if (index >= slotCount && keptWhole) {
                problem
                    = tooLongToHold(QStringLiteral("the music"),
                                    QStringLiteral("more than %1 hours").arg(mostChunks / 3600));
                break;
            }
            // A ring's chunk is written again once the music in it has been played or passed.
            const qint64 consumed = std::max(played.load(std::memory_order_acquire),
                                             passed.load(std::memory_order_acquire));
            if (!keptWhole && index - consumed / chunkBytes >= slotCount) {
                QThread::msleep(5);
                continue;
            }
            if (!chunks[size_t(index % slotCount)]) {
                // Linux promises memory it may not have: a song longer than its header said
                // stops short of what the machine holds rather than being killed.
                if (keptWhole && memoryForMusicBytes() < chunkBytes)
                    throw std::bad_alloc();
                chunks[size_t(index % slotCount)].reset(new char[size_t(chunkBytes)]);
            }
            const qint64 offset = done % chunkBytes;
            const qint64 got = source->read(chunk(index) + offset, chunkBytes - offset);
            if (got < 0)
                problem = source->errorString();
            if (got <= 0)
                break;
            done += got;
            loaded.store(done, std::memory_order_release);
        }
    } catch (const std::bad_alloc &) {
        problem = tooLongToHold(QStringLiteral("the music"),
                                QStringLiteral("out of memory after %1").arg(musicTime(done)));
    }
    source.reset(); // closes the file
    ended.store(true, std::memory_order_release);
}

bool MusicBuffer::waitFor(qint64 bytes, int timeoutMs) const
{
    QElapsedTimer waited;
    waited.start();
    while (!hasEnded() && loadedBytes() < bytes) {
        if (waited.elapsed() >= timeoutMs)
            return false;
        QThread::msleep(2);
    }
    return true;
}

qint64 MusicBuffer::read(qint64 position, char *out, qint64 maxBytes) const
{
    const qint64 end = std::min(loadedBytes(), position + maxBytes);
    qint64 at = position;
    while (at < end) {
        const qint64 offset = at % chunkBytes;
        const qint64 n = std::min(end - at, chunkBytes - offset);
        std::memcpy(out + (at - position), chunk(at / chunkBytes) + offset, size_t(n));
        at += n;
    }
    return std::max<qint64>(0, at - position);
}
