#ifndef SOUNDSERVERWATCH_H
#define SOUNDSERVERWATCH_H

struct pa_context;
struct pa_mainloop;

// Watches the PulseAudio server (or PipeWire's pipewire-pulse) that the sound device plays
// through, over a connection of its own, which fails when the server goes away. The device goes
// with the server, but sdl12-compat does not tell: its callback goes on being called. Used on one
// thread at a time.
class SoundServerWatch
{
public:
    SoundServerWatch() = default;
    ~SoundServerWatch() { disconnect(); }
    SoundServerWatch(const SoundServerWatch &) = delete;
    SoundServerWatch &operator=(const SoundServerWatch &) = delete;

    // Connects to the server that this process's clients reach by default; false when there is
    // none within `timeoutMs`.
    bool connect(int timeoutMs);
    // Whether the server watched has gone away (false when none is watched).
    bool serverGone();
    void disconnect();

private:
    pa_mainloop *loop = nullptr;
    pa_context *context = nullptr;
};

#endif // SOUNDSERVERWATCH_H
