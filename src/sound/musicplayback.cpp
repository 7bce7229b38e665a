#include "musicplayback.h"

#include "monotonic.h"
#include "serverquantum.h"
#include "soundserverwatch.h"
#include "soundthreads.h"

#include <SDL.h>

#include <algorithm>
#include <chrono>
#include <cstring>

#include <pthread.h>

namespace {

// Audio thread, or the GUI thread while no device plays: the queued song starts here, where the
// song playing is cut off (or ends), unless the song before is still to be taken away. True if so.
bool startQueued(MusicPlayback::Stream *playing)
{
    if (playing->playedOut.load(std::memory_order_acquire))
        return false;
    MusicBuffer *next = playing->queued.exchange(nullptr, std::memory_order_acq_rel);
    if (!next)
        return false;
    playing->playedOut.store(playing->current.load(std::memory_order_relaxed),
                             std::memory_order_release);
    playing->current.store(next, std::memory_order_release);
    playing->songStart += playing->position;
    playing->position = 0;
    playing->latestSongStart.store(playing->songStart, std::memory_order_relaxed);
    playing->songsStarted.fetch_add(1, std::memory_order_release);
    return true;
}

} // namespace

void effect(void *userdata, unsigned char *stream, int len)
{
    auto *playing = static_cast<MusicPlayback::Stream *>(userdata);
    const qint64 nowNs = monotonicNowNs();
    char *out = reinterpret_cast<char *>(stream);
    // A device opened anew plays on from where the show is.
    if (const qint64 at = playing->startAt.exchange(-1, std::memory_order_acquire); at >= 0)
        playing->position = std::max<qint64>(0, at - playing->songStart);
    if (playing->skipping.load(std::memory_order_acquire) && startQueued(playing))
        playing->skipping.store(false, std::memory_order_release);
    int copied = 0; // the music at the front of the buffer
    while (copied < len && !playing->stopped.load(std::memory_order_acquire)) {
        MusicBuffer &music = *playing->current.load(std::memory_order_relaxed);
        const qint64 got = music.read(playing->position, out + copied, len - copied);
        playing->position += got;
        copied += int(got);
        if (got > 0)
            continue;
        // Nothing more to copy: the music is not loaded this far yet, or it ends here and, with
        // --loop, starts over, or the next song goes on from here.
        const bool ends = music.hasEnded() && playing->position >= music.loadedBytes();
        if (ends && playing->loop && music.canStartOver() && playing->position > 0) {
            playing->position = 0;
            continue;
        }
        music.playedTo(playing->position);
        if (!ends || !startQueued(playing))
            break;
    }
    if (!playing->stopped.load(std::memory_order_acquire))
        playing->current.load(std::memory_order_relaxed)->playedTo(playing->position);
    // The rest is silence, never the previous buffer's bytes; the clock counts only the music.
    std::memset(out + copied, 0, size_t(len - copied));
    playing->requests.append(nowNs, len, copied);
}

void keepSystemSignals()
{
    qputenv("SDL_NO_SIGNAL_HANDLERS", "1"); // SDL 2's hint, read from the environment
}

namespace {

// Whether the SDL 1.2 loaded is sdl12-compat, over SDL 2.
bool sdl12Compat()
{
    constexpr int firstCompatPatch = 50; // sdl12-compat calls itself 1.2.50 and later
    const SDL_version *linked = SDL_Linked_Version();
    return linked && linked->patch >= firstCompatPatch;
}

} // namespace

qint64 libraryUnreportedNs()
{
    constexpr qint64 classicNs = 10'000'000;
    constexpr qint64 compatNs = 18'000'000;
    return sdl12Compat() ? compatNs : classicNs;
}

namespace {

bool playsThroughServer();

// Opens the sound device for `stream`, paused; false with SDL's reason.
bool openDevice(MusicPlayback::Stream *stream, QString *error)
{
    // No parachute: a crash is left to the system to report (a core dump), not made an exit.
    if (SDL_Init(SDL_INIT_AUDIO | SDL_INIT_NOPARACHUTE) != 0) {
        *error = QString::fromLocal8Bit(SDL_GetError());
        return false;
    }
    SDL_AudioSpec wanted {};
    wanted.freq = musicRateHz;
    wanted.format = AUDIO_S16LSB;
    wanted.channels = musicChannels;
    // At least the server's cycle, where it says what it is: with a shorter buffer one late
    // wake-up of SDL's audio thread leaves the server nothing to play for a whole cycle.
    constexpr int quantumWaitMs = 200;
    constexpr qint64 longestQuantumFrames = 8192; // PipeWire's limit, 186 ms
    const qint64 quantumNs = playsThroughServer() ? serverQuantumNs(quantumWaitMs) : 0;
    const qint64 quantumFrames = (quantumNs * musicRateHz + 999'999'999) / 1'000'000'000;
    wanted.samples
        = Uint16(std::clamp<qint64>(quantumFrames, deviceBufferFrames, longestQuantumFrames));
    wanted.callback = effect;
    wanted.userdata = stream;
    // No spec for what was obtained: SDL then converts the music to whatever rate, format and
    // channels the device takes, and the callback is always asked for the music's own format.
    if (SDL_OpenAudio(&wanted, nullptr) != 0) {
        *error = QString::fromLocal8Bit(SDL_GetError());
        SDL_QuitSubSystem(SDL_INIT_AUDIO); // so that the next attempt starts SDL's audio anew
        return false;
    }
    return true;
}

void closeDevice()
{
    SDL_CloseAudio();
    SDL_QuitSubSystem(SDL_INIT_AUDIO);
}

// Whether SDL plays through a sound server that SoundServerWatch can watch.
bool playsThroughServer()
{
    char name[32] = {};
    SDL_AudioDriverName(name, sizeof name);
    return std::strncmp(name, "pulse", 5) == 0 || std::strcmp(name, "pipewire") == 0;
}

// The device's thread: opens the device, starts it when the GUI thread says from where, watches
// it, opens another when it is lost, and closes it when the show ends. SDL's device is opened,
// started and closed on this thread only, so that none of it holds up the picture.
void keepDevice(MusicPlayback::Stream *stream)
{
    constexpr auto pollInterval = std::chrono::milliseconds(100);
    constexpr char threadName[] = "mincer sound";
    pthread_setname_np(pthread_self(), threadName);
    enum class Device { Closed, Paused, Playing } device = Device::Closed;
    SoundServerWatch server;
    qint64 nextTryNs = 0;
    bool tried = false;
    std::unique_lock<std::mutex> lock(stream->lock);
    while (!stream->quitting) {
        const qint64 nowNs = monotonicNowNs();
        if (device == Device::Closed && nowNs >= nextTryNs) {
            lock.unlock();
            QString error;
            const std::vector<pid_t> threads = processThreads();
            // SDL 2's PulseAudio driver may crash on a server without a sink (one unplugged).
            constexpr int serverAnswerMs = 200;
            const QByteArray driver = qgetenv("SDL_AUDIODRIVER");
            const bool noOutput = sdl12Compat() && (driver.isEmpty() || driver.startsWith("pulse"))
                && SoundServerWatch::serverWithoutOutput(serverAnswerMs);
            if (noOutput)
                error = QStringLiteral("the sound server has no output");
            const bool opened = !noOutput && openDevice(stream, &error);
            if (opened)
                raiseSoundThreads(threads, threadName);
            if (opened && playsThroughServer())
                server.start();
            lock.lock();
            if (opened) {
                device = Device::Paused;
                stream->playFrom = -1;
                ++stream->opens;
            } else {
                if (!tried)
                    stream->firstError = error;
                nextTryNs = nowNs + MusicPlayback::retryNs;
            }
            tried = true;
        } else if (device == Device::Paused && stream->playFrom >= 0) {
            stream->startAt.store(stream->playFrom, std::memory_order_release);
            SDL_PauseAudio(0);
            device = Device::Playing;
            stream->devicePlaying = true;
        } else if (device == Device::Playing
                   && (SDL_GetAudioStatus() == SDL_AUDIO_STOPPED || server.deviceGone())) {
            // The classic SDL 1.2 stops a device whose server went away or removed its stream;
            // sdl12-compat goes on calling the callback, and only the watch tells.
            ++stream->losses;
            lock.unlock();
            server.stop();
            closeDevice();
            lock.lock();
            device = Device::Closed;
            stream->devicePlaying = false;
            nextTryNs = nowNs + MusicPlayback::retryNs;
        }
        stream->changed.wait_for(lock, pollInterval);
    }
    lock.unlock();
    server.stop();
    bool leftOpen = false;
    if (device != Device::Closed) {
        // No call of the callback reads the music once this is set under the audio lock.
        SDL_LockAudio();
        stream->stopped.store(true, std::memory_order_release);
        SDL_UnlockAudio();
        // Closing the device waits until it has played what it holds. A device that has stopped
        // asking for sound (a server that holds the stream back, or never plays it) would keep
        // the program waiting for ever: such a device is left to the end of the process.
        constexpr qint64 playingWithinNs = 200'000'000;
        leftOpen = device == Device::Playing
            && monotonicNowNs() - stream->requests.lastRequestNs() > playingWithinNs;
        if (!leftOpen)
            closeDevice();
    }
    lock.lock();
    stream->leftOpen = leftOpen;
    stream->finished = true;
    stream->changed.notify_all();
}

} // namespace

std::atomic<bool> MusicPlayback::soundLeft {false};

MusicPlayback::Stream::~Stream()
{
    delete current.load();
    delete queued.load();
    delete playedOut.load();
}

MusicPlayback::MusicPlayback(std::unique_ptr<MusicBuffer> music, bool loop) : stream(new Stream)
{
    stream->current.store(music.release());
    stream->loop = loop;
}

MusicPlayback::~MusicPlayback()
{
    // A loader that waits for a pipe which gives nothing cannot be stopped, nor can a device's
    // thread that waits for SDL to open or close a device: they and the stream are left to the
    // end of the process.
    constexpr int loaderStopMs = 200;
    constexpr auto deviceStopTime = std::chrono::seconds(1);
    bool loaderStopped = true;
    for (auto *song : {&stream->current, &stream->queued, &stream->playedOut}) {
        if (MusicBuffer *music = song->load())
            loaderStopped = music->stopLoading(loaderStopMs) && loaderStopped;
    }
    bool deviceStopped = true;
    if (device.joinable()) {
        std::unique_lock<std::mutex> lock(stream->lock);
        stream->quitting = true;
        stream->changed.notify_all();
        const bool finished
            = stream->changed.wait_for(lock, deviceStopTime, [this] { return stream->finished; });
        deviceStopped = finished && !stream->leftOpen;
        lock.unlock();
        if (finished)
            device.join();
        else
            device.detach();
    }
    if (!deviceStopped)
        soundLeft.store(true, std::memory_order_release);
    if (loaderStopped && deviceStopped)
        delete stream;
}

void MusicPlayback::start()
{
    if (!device.joinable())
        device = std::thread(keepDevice, stream);
}

MusicPlayback::News MusicPlayback::takeNews(QString *reason)
{
    std::lock_guard<std::mutex> hold(stream->lock);
    if (stream->losses > lossesSeen) {
        lossesSeen = stream->losses;
        playing = false;
        *reason = QStringLiteral("the sound device was lost");
        return News::Lost;
    }
    if (!stream->firstError.isNull() && !failureSeen) {
        failureSeen = true;
        *reason = stream->firstError;
        return News::NotOpened;
    }
    if (stream->opens > opensSeen) {
        opensSeen = stream->opens;
        return News::Opened;
    }
    return News::None;
}

void MusicPlayback::playFrom(qint64 position)
{
    // Counted over the passes of a loop and over the songs, as the clock counts it; the callback
    // takes the song's start off.
    if (loops())
        position %= music().lengthBytes();
    position -= position % musicBytesPerFrame;
    stream->requests.takeNew([](qint64, qint64, qint64) {}); // the last of a device lost
    std::lock_guard<std::mutex> hold(stream->lock);
    stream->playFrom = position;
    playing = true;
    stream->changed.notify_all();
}

void MusicPlayback::passedTo(qint64 position)
{
    if (!playing)
        stream->current.load(std::memory_order_acquire)
            ->passedTo(std::max<qint64>(0, position - latestSongStartBytes()));
}

std::unique_ptr<MusicBuffer> MusicPlayback::queue(std::unique_ptr<MusicBuffer> next)
{
    return std::unique_ptr<MusicBuffer>(
        stream->queued.exchange(next.release(), std::memory_order_acq_rel));
}

void MusicPlayback::skip(qint64 position)
{
    std::lock_guard<std::mutex> hold(stream->lock);
    if (stream->devicePlaying) {
        stream->skipping.store(true, std::memory_order_release);
        return;
    }
    // No callback runs: the song changes here, where the show is.
    stream->position = std::max<qint64>(0, position - stream->songStart);
    startQueued(stream);
}

std::unique_ptr<MusicBuffer> MusicPlayback::takeFinished()
{
    return std::unique_ptr<MusicBuffer>(
        stream->playedOut.exchange(nullptr, std::memory_order_acq_rel));
}
