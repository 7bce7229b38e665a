#include "soundthreads.h"

#include "realtimekit.h"

#include <QByteArray>
#include <QDir>
#include <QFile>

#include <algorithm>

#include <cerrno>

#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

std::vector<pid_t> processThreads()
{
    std::vector<pid_t> threads;
    const QStringList tasks = QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs);
    for (const QString &task : tasks) {
        if (const int id = task.toInt(); id > 0)
            threads.push_back(pid_t(id));
    }
    return threads;
}

namespace {

// SDL 2 (under sdl12-compat) gives its audio thread a priority of its own as the thread starts,
// through rtkit too, which would undo a grant made before it: waits until the thread's niceness
// or policy differs from the caller's, or a while has passed.
void awaitOwnPriority(pid_t thread)
{
    constexpr int waitMs = 1000, pollMs = 5;
    const int nice = getpriority(PRIO_PROCESS, id_t(gettid()));
    for (int waited = 0; waited < waitMs; waited += pollMs) {
        errno = 0;
        const int threadNice = getpriority(PRIO_PROCESS, id_t(thread));
        if ((errno == 0 && threadNice != nice) || sched_getscheduler(thread) > 0)
            return;
        usleep(pollMs * 1000);
    }
}

} // namespace

void raiseSoundThreads(const std::vector<pid_t> &before, const char *openerName)
{
    RealtimeKit desktop;
    for (const pid_t thread : processThreads()) {
        if (thread == gettid() || std::find(before.begin(), before.end(), thread) != before.end())
            continue;
        // By name, so that no thread started elsewhere meanwhile (a painter) is raised: SDL 1.2's
        // audio thread (named as the opener), SDL 2's, and libpulse's client thread.
        QFile comm(QStringLiteral("/proc/self/task/%1/comm").arg(thread));
        const QByteArray name = comm.open(QIODevice::ReadOnly) ? comm.readAll().trimmed() : "";
        if (name != openerName && !name.startsWith("SDLAudio") && name != "threaded-ml")
            continue;
        // As the desktop grants it (rtkit), real-time or else a high priority; without rtkit the
        // lowest niceness allowed: -20 with the right (CAP_SYS_NICE), else down to the limit that
        // RLIMIT_NICE sets; none below 0 for most users.
        if (desktop.available() && name.startsWith("SDLAudio"))
            awaitOwnPriority(thread);
        if (desktop.makeRealtime(thread) || desktop.makeHighPriority(thread))
            continue;
        rlimit limit {};
        const int lowest = getrlimit(RLIMIT_NICE, &limit) == 0 && limit.rlim_cur > 0
            ? std::max(-20, 20 - int(std::min<rlim_t>(limit.rlim_cur, 40)))
            : 0;
        if (setpriority(PRIO_PROCESS, id_t(thread), -20) != 0 && lowest < 0)
            setpriority(PRIO_PROCESS, id_t(thread), lowest);
    }
}
