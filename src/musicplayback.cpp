#include "musicplayback.h"

#include <QFileInfo>

#include <SDL.h>

#include <algorithm>
#include <cstring>

void effect(void *userdata, unsigned char *stream, int len)
{
    auto *playing = static_cast<MusicPlayback::Stream *>(userdata);
    const qint64 nowNs = monotonicNowNs();
    qint64 got = 0;
    if (!playing->ended && !playing->stopped.load(std::memory_order_acquire)) {
        got = playing->music.isOpen() ? playing->music.read(reinterpret_cast<char *>(stream), len)
                                      : -1;
        // The end of the music, or a read error: from now on the device plays silence until the
        // GUI thread has seen the music heard to its end.
        if (got <= 0) {
            playing->ended = true;
            playing->requests.setMusicEnd(playing->read);
        }
    }
    // Whatever the file did not fill is silence, never the previous buffer's bytes.
    const qint64 filled = std::max<qint64>(got, 0);
    std::memset(stream + filled, 0, size_t(len - filled));
    playing->read += filled;
    playing->requests.append(nowNs, len);
}

MusicPlayback::MusicPlayback(const QString &fileName) : stream(new Stream)
{
    stream->music.setFileName(fileName);
    // Unbuffered, so that the audio thread's reads go straight to the file without a buffer
    // being allocated on the way.
    stream->music.open(QIODevice::ReadOnly | QIODevice::Unbuffered);
}

MusicPlayback::~MusicPlayback()
{
    if (!opened) {
        delete stream;
        return;
    }
    // No call of the callback reads the file once this is set under the audio lock.
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
    delete stream;
}

qint64 MusicPlayback::knownLength() const
{
    const QFileInfo file(stream->music.fileName());
    if (!stream->music.isOpen() || file.isDir())
        return 0;
    return file.isFile() ? file.size() : -1;
}

bool MusicPlayback::start(QString *error)
{
    SDL_Init(SDL_INIT_AUDIO);
    SDL_AudioSpec wanted {};
    wanted.freq = musicRateHz;
    wanted.format = AUDIO_S16LSB;
    wanted.channels = musicChannels;
    wanted.samples = musicRateHz / 50; // 882 sample frames: 20 ms
    wanted.callback = effect;
    wanted.userdata = stream;
    SDL_AudioSpec obtained {};
    if (SDL_OpenAudio(&wanted, &obtained) != 0) {
        if (error)
            *error = QString::fromLocal8Bit(SDL_GetError());
        SDL_QuitSubSystem(SDL_INIT_AUDIO);
        return false;
    }
    opened = true;
    // SDL hands the device silence of its own until it is unpaused, which its requests do not
    // show: the device is taken to hold at least what devices have been measured to hold.
    queueBytes = leastDeviceQueueNs * musicBytesPerSecond / 1'000'000'000;
    SDL_PauseAudio(0);
    return true;
}
