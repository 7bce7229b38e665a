#include "musicplayback.h"

#include <SDL.h>

#include <algorithm>
#include <cstring>

void effect(void *userdata, unsigned char *stream, int len)
{
    auto *playing = static_cast<MusicPlayback::Stream *>(userdata);
    const qint64 nowNs = monotonicNowNs();
    qint64 filled = 0;
    while (!playing->ended && !playing->stopped.load(std::memory_order_acquire) && filled < len) {
        MusicBuffer &music = *playing->music;
        const qint64 got = music.copy(playing->position, reinterpret_cast<char *>(stream) + filled,
                                      len - filled);
        playing->position += got;
        filled += got;
        if (filled == len || !music.endsAt(playing->position))
            break; // the buffer is full, or the music is not loaded this far yet
        if (playing->loop && music.canStartOver()) {
            playing->position = 0;
            continue;
        }
        // The end of the music: from now on the device plays silence until the GUI thread has
        // seen the music heard to its end.
        playing->ended = true;
    }
    // Whatever the music did not fill is silence, never the previous buffer's bytes.
    std::memset(stream + filled, 0, size_t(len - filled));
    playing->requests.append(nowNs, len);
}

MusicPlayback::MusicPlayback(std::unique_ptr<MusicBuffer> music, bool loop) : stream(new Stream)
{
    stream->music = std::move(music);
    stream->loop = loop;
}

MusicPlayback::~MusicPlayback()
{
    // A loader that waits for a pipe which gives nothing cannot be stopped: it and the stream are
    // left to the end of the process.
    constexpr int loaderStopMs = 200;
    const bool loaderStopped = stream->music->stopLoading(loaderStopMs);
    if (!opened) {
        if (loaderStopped)
            delete stream;
        return;
    }
    // No call of the callback reads the music once this is set under the audio lock.
    SDL_LockAudio();
    stream->stopped.store(true, std::memory_order_release);
    SDL_UnlockAudio();
    // Closing the device waits until it has played what it holds. A device that has stopped
    // asking for sound (a server that holds the stream back, or never plays it) would keep the
    // program waiting for ever: such a device, and the stream its callback may still be handed,
    // are left to the end of the process.
    constexpr qint64 playingWithinNs = 200'000'000;
    if (monotonicNowNs() - stream->requests.lastRequestNs() > playingWithinNs)
        return;
    SDL_CloseAudio();
    SDL_QuitSubSystem(SDL_INIT_AUDIO);
    if (loaderStopped)
        delete stream;
}

bool MusicPlayback::start(QString *error)
{
    SDL_Init(SDL_INIT_AUDIO);
    SDL_AudioSpec wanted {};
    wanted.freq = musicRateHz;
    wanted.format = AUDIO_S16LSB;
    wanted.channels = musicChannels;
    wanted.samples = deviceBufferFrames;
    wanted.callback = effect;
    wanted.userdata = stream;
    // No spec for what was obtained: SDL then converts the music to whatever rate, format and
    // channels the device takes, and the callback is always asked for the music's own format.
    if (SDL_OpenAudio(&wanted, nullptr) != 0) {
        if (error)
            *error = QString::fromLocal8Bit(SDL_GetError());
        SDL_QuitSubSystem(SDL_INIT_AUDIO);
        return false;
    }
    opened = true;
    SDL_PauseAudio(0);
    return true;
}
