#ifndef SERVERLATENCY_H
#define SERVERLATENCY_H

#include "monotonic.h"

#include <QtGlobal>

#include <mutex>
#include <random>
#include <string>

struct pa_context;
struct pa_sink_input_info;
struct pa_client_info;
struct pa_server_info;
struct pa_sink_info;
struct pa_mainloop_api;
struct pa_operation;
struct pa_stream;
struct pa_threaded_mainloop;
struct pa_time_event;

// How long the sound server says that music handed to the demo's stream takes to be heard: the
// stream's buffer and its sink's latency, which a Bluetooth or network speaker makes long. Asked
// of a PulseAudio server (or one that speaks its protocol) through libpulse, on a thread of its
// own: it finds this process's stream among the server's sink inputs by its process id, whatever
// library opened it, and follows it when it moves to another sink. Where no server answers, or
// no stream of this process is found, there are no reports.
//
// PipeWire's pipewire-pulse lists every stream and sink with no latency; it tells a sink's delay
// (the latency the sink publishes) only to a stream that plays on it, in the stream's own timing.
// There a silent stream of its own plays on the demo's stream's sink while that one plays, and the
// sink's delay it is told is reported; the demo's stream's own buffer is told nowhere.
class ServerLatency
{
public:
    static constexpr quint32 noSink = ~0u;

    // Connects in the background and asks every second; every 0.1 s for a while after the stream
    // appears or moves, so that a new delay is known soon. Given a `sink` (its index), the delay
    // of that sink is reported instead, where only a stream of its own is told it (PipeWire):
    // what a recording of its monitor lacks.
    explicit ServerLatency(quint32 sink = noSink);
    ~ServerLatency();

    ServerLatency(const ServerLatency &) = delete;
    ServerLatency &operator=(const ServerLatency &) = delete;

    // At `timeNs` (monotonicNowNs()), music handed to the stream took `latencyNs` to be heard, on
    // the server's sink number `sink`; or, `sinkOnly`, the sink delayed what it was given by
    // `latencyNs`, and the stream's own buffer was not told.
    struct Report
    {
        qint64 timeNs = 0;
        qint64 latencyNs = 0;
        quint32 sink = 0;
        bool sinkOnly = false;
    };
    // Calls take(report) with the latest report not taken yet, if any. Never waits for the server.
    template<typename Take> void takeNew(Take take);

    static constexpr qint64 askEveryNs = 1'000'000'000;
    static constexpr qint64 askQuicklyEveryNs = 100'000'000;
    static constexpr qint64 quicklyForNs = 5'000'000'000; // after the stream appears or moves

private:
    // The server's thread.
    static void tick(pa_mainloop_api *, pa_time_event *, const struct timeval *, void *self);
    static void ownClient(pa_context *, const pa_client_info *info, int eol, void *self);
    static void server(pa_context *, const pa_server_info *info, void *self);
    static void sinkInput(pa_context *, const pa_sink_input_info *info, int eol, void *self);
    static void probeSink(pa_context *, const pa_sink_info *info, int eol, void *self);
    static void probeWrite(pa_stream *, size_t bytes, void *self);
    static void probeTimed(pa_stream *, int success, void *self);
    void follow(qint64 nowNs, quint32 sink);
    void measure(quint32 sink);
    void report(const Report &report);
    void dropProbe();
    void dropContext();

    const quint32 givenSink;
    pa_threaded_mainloop *loop = nullptr;
    pa_time_event *timer = nullptr;

    // The server's thread only.
    pa_context *context = nullptr;
    pa_operation *asking = nullptr;
    std::string machineId; // of this machine, as the server knows this process's connection
    bool ownAsked = false;
    bool serverAsked = false;
    bool onPipeWire = false; // the server tells a sink's delay only on a stream of its own
    pa_stream *probe = nullptr; // that silent stream
    quint32 probeSinkIndex = ~0u; // the sink it plays on, or is being connected to
    bool found = false; // this round found the stream
    quint32 streamIndex = 0, sinkIndex = 0; // this round's best match: the newest stream
    qint64 latencyNs = 0;
    quint32 lastSink = ~0u; // the sink the stream was last found on (none: ~0u)
    qint64 quicklyUntilNs = 0;
    std::minstd_rand random {quint32(monotonicNowNs())};

    std::mutex lock; // guards the latest report
    Report latest;
    quint64 reports = 0, taken = 0;
};

template<typename Take> void ServerLatency::takeNew(Take take)
{
    Report report;
    {
        const std::lock_guard<std::mutex> guard(lock);
        if (reports == taken)
            return;
        taken = reports;
        report = latest;
    }
    take(report);
}

#endif // SERVERLATENCY_H
