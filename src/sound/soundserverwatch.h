#ifndef SOUNDSERVERWATCH_H
#define SOUNDSERVERWATCH_H

#include <QtGlobal>

#include <pulse/def.h>

struct pa_context;
struct pa_mainloop;
struct pa_sink_input_info;

// Watches the PulseAudio server (or PipeWire's pipewire-pulse) that the sound device plays
// through, over a connection of its own, and on it this process's stream. The device goes with
// the server, or with its stream when the server removes that (its sink gone, say), but
// sdl12-compat does not tell: its callback goes on being called. It connects without waiting, and
// while it cannot, tries again every `retryNs`. Used on one thread at a time.
class SoundServerWatch
{
public:
    static constexpr qint64 retryNs = 1'000'000'000;

    SoundServerWatch() = default;
    ~SoundServerWatch() { stop(); }
    SoundServerWatch(const SoundServerWatch &) = delete;
    SoundServerWatch &operator=(const SoundServerWatch &) = delete;

    // Whether the server that this process's clients reach by default answers within `timeoutMs`
    // without an output to play to (no sink). SDL 2.26's PulseAudio driver (Debian 12's, under
    // sdl12-compat) crashes the program when it starts on such a server.
    static bool serverWithoutOutput(int timeoutMs);

    // Watches the server that this process's clients reach by default, from now on: the device
    // has just been opened through it.
    void start();
    // Takes in what the server said, without waiting: whether the server watched went away or
    // removed this process's stream. False while no connection could be made.
    bool deviceGone();
    void stop();

private:
    static void sinkInputChanged(pa_context *context, pa_subscription_event_type_t type,
                                 uint32_t index, void *watch);
    // One stream's description, and the list of all at the connection's start.
    static void sinkInput(pa_context *, const pa_sink_input_info *info, int eol, void *watch);
    static void sinkInputs(pa_context *, const pa_sink_input_info *info, int eol, void *watch);
    void connect();
    void disconnect();

    pa_mainloop *loop = nullptr;
    pa_context *context = nullptr;
    bool watching = false;
    bool failed = false; // a connection could not be made since start()
    bool connected = false; // the connection is, or was, ready
    qint64 nextTryNs = 0;
    bool streamKnown = false;
    uint32_t stream = 0; // this process's newest stream, once known
    bool streamGone = false;
};

#endif // SOUNDSERVERWATCH_H
