// Preloaded into the demo by the sound-server test (LD_PRELOAD): notes when the audio device is
// opened and the CLOCK_MONOTONIC time and length of every call of the demo's audio callback, and
// writes them at exit to the file that MINCER_CALLBACK_LOG names. The demo's behaviour is
// unchanged: its own callback runs as before, inside a wrapper that only stores a time.
//
// When MINCER_OPEN_SIGNAL names a FIFO, a line "opened" goes to it once the device is open, so that
// the test can start recording the sink only then.
//
// Output: "open BEFORE_US AFTER_US RESULT SAMPLES" (the obtained buffer length in sample frames),
// "library MAJOR.MINOR.PATCH" (the SDL that the demo loaded: 1.2.50 and later are sdl12-compat),
// "thread POLICY PRIORITY NICE" (how the thread that calls the callback was scheduled at its
// 50th call, once the demo has raised it: POLICY "rr", "fifo" or "other"), then one line
// "callback START_US LENGTH_BYTES" per call.

#include <SDL.h>

#include <atomic>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

using Callback = void (*)(void *, Uint8 *, int);
using OpenAudio = int (*)(SDL_AudioSpec *, SDL_AudioSpec *);

struct Call
{
    std::int64_t startUs;
    int length;
};

constexpr int maxCalls = 1 << 16; // 21 minutes of 20 ms buffers
Call calls[maxCalls];
std::atomic<int> callCount {0};
Callback demoCallback = nullptr;
std::int64_t openBeforeUs = -1, openAfterUs = -1;
int openResult = 0, obtainedSamples = 0;
int threadPolicy = -1, threadPriority = 0, threadNice = 0;

std::int64_t nowUs()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return std::int64_t(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

void loggedCallback(void *userdata, Uint8 *stream, int length)
{
    const int index = callCount.load(std::memory_order_relaxed);
    if (index < maxCalls) {
        calls[index] = {nowUs(), length};
        callCount.store(index + 1, std::memory_order_release);
    }
    if (index == 50) {
        sched_param parameter {};
        threadPolicy = sched_getscheduler(0) & ~SCHED_RESET_ON_FORK;
        threadPriority = sched_getparam(0, &parameter) == 0 ? parameter.sched_priority : -1;
        threadNice = getpriority(PRIO_PROCESS, id_t(gettid()));
    }
    demoCallback(userdata, stream, length);
}

__attribute__((destructor)) void writeLog()
{
    const char *path = std::getenv("MINCER_CALLBACK_LOG");
    if (!path || openBeforeUs < 0)
        return;
    FILE *file = std::fopen(path, "w");
    if (!file)
        return;
    std::fprintf(file, "open %lld %lld %d %d\n", (long long)openBeforeUs, (long long)openAfterUs,
                 openResult, obtainedSamples);
    const SDL_version *library = SDL_Linked_Version();
    std::fprintf(file, "library %d.%d.%d\n", library->major, library->minor, library->patch);
    if (threadPolicy >= 0)
        std::fprintf(file, "thread %s %d %d\n",
                     threadPolicy == SCHED_RR         ? "rr"
                         : threadPolicy == SCHED_FIFO ? "fifo"
                                                      : "other",
                     threadPriority, threadNice);
    const int count = callCount.load(std::memory_order_acquire);
    for (int i = 0; i < count; ++i)
        std::fprintf(file, "callback %lld %d\n", (long long)calls[i].startUs, calls[i].length);
    std::fclose(file);
}

// Writes "opened" to the FIFO if someone reads it. A reader that goes away meanwhile must not
// kill the demo with SIGPIPE: the signal is held back during the write and then dropped.
void signalOpened(const char *path)
{
    const int fifo = open(path, O_WRONLY | O_NONBLOCK);
    if (fifo < 0)
        return;
    sigset_t pipe, old;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, &old);
    sigset_t pendingBefore;
    sigpending(&pendingBefore);
    if (write(fifo, "opened\n", 7) < 0 && !sigismember(&pendingBefore, SIGPIPE)) {
        const timespec none {0, 0};
        sigtimedwait(&pipe, nullptr, &none);
    }
    close(fifo);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

} // namespace

extern "C" int SDL_OpenAudio(SDL_AudioSpec *desired, SDL_AudioSpec *obtained)
{
    static const auto realOpen = reinterpret_cast<OpenAudio>(dlsym(RTLD_NEXT, "SDL_OpenAudio"));
    if (!realOpen)
        return -1;
    SDL_AudioSpec wrapped = *desired;
    demoCallback = desired->callback;
    if (demoCallback)
        wrapped.callback = loggedCallback;
    openBeforeUs = nowUs();
    openResult = realOpen(&wrapped, obtained);
    openAfterUs = nowUs();
    obtainedSamples = obtained ? obtained->samples : wrapped.samples;
    if (const char *path = std::getenv("MINCER_OPEN_SIGNAL"))
        signalOpened(path);
    return openResult;
}
