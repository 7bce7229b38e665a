#include "serverlatency.h"

#include "musicsource.h"

#include <pulse/pulseaudio.h>

#include <cstring>

#include <unistd.h>

namespace {

constexpr const char *pidKey = "application.process.id";
constexpr const char *machineKey = "application.process.machine_id";
constexpr const char *probeName = "mincer latency probe";

std::string property(const pa_proplist *properties, const char *key)
{
    const char *value = properties ? pa_proplist_gets(properties, key) : nullptr;
    return value ? value : "";
}

} // namespace

ServerLatency::ServerLatency(quint32 sink) : givenSink(sink)
{
    loop = pa_threaded_mainloop_new();
    if (!loop)
        return;
    // Named apart from the sound library's own libpulse threads, which are raised above the rest.
    pa_threaded_mainloop_set_name(loop, "mincer latency");
    pa_mainloop_api *api = pa_threaded_mainloop_get_api(loop);
    // The first tick, at once on the server's thread, connects: finding the server may take a
    // while (its address may be asked of the X server).
    const timeval past {};
    pa_threaded_mainloop_lock(loop);
    timer = api->time_new(api, &past, tick, this);
    pa_threaded_mainloop_unlock(loop);
    quicklyUntilNs = monotonicNowNs() + quicklyForNs;
    if (pa_threaded_mainloop_start(loop) < 0) {
        pa_threaded_mainloop_free(loop);
        loop = nullptr;
    }
}

ServerLatency::~ServerLatency()
{
    if (!loop)
        return;
    pa_threaded_mainloop_stop(loop);
    dropContext();
    if (timer)
        pa_threaded_mainloop_get_api(loop)->time_free(timer);
    pa_threaded_mainloop_free(loop);
}

void ServerLatency::dropProbe()
{
    if (probe) {
        pa_stream_set_write_callback(probe, nullptr, nullptr);
        pa_stream_disconnect(probe);
        pa_stream_unref(probe);
        probe = nullptr;
    }
    probeSinkIndex = ~0u;
}

void ServerLatency::dropContext()
{
    dropProbe();
    if (asking) {
        pa_operation_cancel(asking);
        pa_operation_unref(asking);
        asking = nullptr;
    }
    if (context) {
        pa_context_disconnect(context);
        pa_context_unref(context);
        context = nullptr;
    }
    machineId.clear();
    ownAsked = false;
    serverAsked = false;
    onPipeWire = false;
}

void ServerLatency::tick(pa_mainloop_api *api, pa_time_event *, const timeval *, void *data)
{
    auto *self = static_cast<ServerLatency *>(data);
    const pa_context_state_t state
        = self->context ? pa_context_get_state(self->context) : PA_CONTEXT_TERMINATED;
    if (!PA_CONTEXT_IS_GOOD(state)) {
        // Not connected, or the server went away: connect (again). Without a server there the
        // context waits for one to appear, and never starts one.
        self->dropContext();
        self->context = pa_context_new(api, "mincer latency");
        if (!self->context
            || pa_context_connect(self->context, nullptr,
                                  pa_context_flags_t(PA_CONTEXT_NOAUTOSPAWN | PA_CONTEXT_NOFAIL),
                                  nullptr)
                < 0) {
            self->dropContext();
            return; // nothing more to be had
        }
    } else if (state == PA_CONTEXT_READY
               && !(self->asking && pa_operation_get_state(self->asking) == PA_OPERATION_RUNNING)) {
        if (self->asking)
            pa_operation_unref(self->asking);
        self->asking = nullptr;
        if (!self->ownAsked) {
            // This process's connection, to learn how the server tells this machine.
            self->ownAsked = true;
            pa_operation *own = pa_context_get_client_info(
                self->context, pa_context_get_index(self->context), ownClient, self);
            if (own)
                pa_operation_unref(own);
        }
        if (!self->serverAsked) {
            self->serverAsked = true;
            if (pa_operation *which = pa_context_get_server_info(self->context, server, self))
                pa_operation_unref(which);
        }
        if (self->givenSink != noSink) {
            self->measure(self->givenSink);
        } else {
            self->found = false;
            self->asking = pa_context_get_sink_input_info_list(self->context, sinkInput, self);
        }
    }
    // At random intervals around the period: a sink that takes the music in blocks makes the
    // latency a sawtooth, which asking at a steady period would see at one phase of it.
    const qint64 everyNs = monotonicNowNs() < self->quicklyUntilNs ? askQuicklyEveryNs : askEveryNs;
    const qint64 inNs = everyNs / 2 + qint64(self->random() % quint64(everyNs));
    pa_context_rttime_restart(self->context, self->timer,
                              pa_rtclock_now() + pa_usec_t(inNs / 1000));
}

void ServerLatency::ownClient(pa_context *, const pa_client_info *info, int eol, void *data)
{
    auto *self = static_cast<ServerLatency *>(data);
    if (eol == 0 && info)
        self->machineId = property(info->proplist, machineKey);
}

void ServerLatency::server(pa_context *, const pa_server_info *info, void *data)
{
    auto *self = static_cast<ServerLatency *>(data);
    self->onPipeWire = info && info->server_name && std::strstr(info->server_name, "PipeWire");
}

void ServerLatency::sinkInput(pa_context *, const pa_sink_input_info *info, int eol, void *data)
{
    auto *self = static_cast<ServerLatency *>(data);
    if (eol == 0 && info) {
        // This process's stream; of several (a device opened again), the newest; never the probe.
        const std::string machine = property(info->proplist, machineKey);
        if (property(info->proplist, pidKey) == std::to_string(getpid())
            && property(info->proplist, PA_PROP_MEDIA_NAME) != probeName
            && (machine.empty() || self->machineId.empty() || machine == self->machineId)
            && (!self->found || info->index > self->streamIndex)) {
            self->found = true;
            self->streamIndex = info->index;
            self->sinkIndex = info->sink;
            self->latencyNs = qint64(info->buffer_usec + info->sink_usec) * 1000;
        }
        return;
    }
    if (eol < 0)
        return;
    if (!self->found) {
        self->dropProbe(); // nothing of the demo's plays: nor does the probe
        return;
    }
    const qint64 nowNs = monotonicNowNs();
    self->follow(nowNs, self->sinkIndex);
    if (!self->onPipeWire)
        self->report({nowNs, self->latencyNs, self->sinkIndex});
    else
        self->measure(self->sinkIndex);
}

void ServerLatency::measure(quint32 sink)
{
    if (!onPipeWire)
        return; // a PulseAudio sink's delay is in its sink inputs' and its monitor's reports
    // From the probe on the sink: connected anew when the stream moved.
    if (probe && probeSinkIndex != sink)
        dropProbe();
    if (probe && pa_stream_get_state(probe) == PA_STREAM_READY) {
        if (pa_operation *timing = pa_stream_update_timing_info(probe, probeTimed, this))
            pa_operation_unref(timing);
    } else if (probe && !PA_STREAM_IS_GOOD(pa_stream_get_state(probe))) {
        dropProbe(); // its sink went away: tried again next time
    } else if (!probe && probeSinkIndex != sink) {
        // The sink's name, to connect to.
        probeSinkIndex = sink;
        if (pa_operation *info = pa_context_get_sink_info_by_index(context, sink, probeSink, this))
            pa_operation_unref(info);
    }
}

void ServerLatency::follow(qint64 nowNs, quint32 sink)
{
    if (sink != lastSink) {
        // A new stream, or one moved to another speaker: its delay is asked for often for a while.
        lastSink = sink;
        quicklyUntilNs = nowNs + quicklyForNs;
    }
}

void ServerLatency::report(const Report &report)
{
    const std::lock_guard<std::mutex> guard(lock);
    latest = report;
    ++reports;
}

void ServerLatency::probeSink(pa_context *context, const pa_sink_info *info, int eol, void *data)
{
    auto *self = static_cast<ServerLatency *>(data);
    if (eol < 0)
        self->probeSinkIndex = ~0u; // the sink is gone: asked again next time
    if (eol != 0 || !info || self->probe || info->index != self->probeSinkIndex)
        return;
    // Silence in the music's own format, so that nothing is converted; a long buffer, so that it
    // asks the server for no shorter cycle than the demo's stream does, and is rarely written.
    constexpr pa_usec_t bufferUs = 400'000, requestUs = 100'000;
    const pa_sample_spec spec {PA_SAMPLE_S16LE, quint32(musicRateHz), quint8(musicChannels)};
    pa_proplist *properties = pa_proplist_new();
    pa_proplist_sets(properties, PA_PROP_MEDIA_NAME, probeName);
    self->probe = pa_stream_new_with_proplist(context, probeName, &spec, nullptr, properties);
    pa_proplist_free(properties);
    if (!self->probe) {
        self->dropProbe(); // tried again next time
        return;
    }
    const pa_buffer_attr buffer {quint32(-1), quint32(pa_usec_to_bytes(bufferUs, &spec)),
                                 quint32(-1), quint32(pa_usec_to_bytes(requestUs, &spec)),
                                 quint32(-1)};
    pa_stream_set_write_callback(self->probe, probeWrite, self);
    if (pa_stream_connect_playback(self->probe, info->name, &buffer, PA_STREAM_DONT_MOVE, nullptr,
                                   nullptr)
        < 0)
        self->dropProbe();
}

void ServerLatency::probeWrite(pa_stream *stream, size_t bytes, void *)
{
    void *silence = nullptr;
    if (pa_stream_begin_write(stream, &silence, &bytes) == 0 && silence) {
        std::memset(silence, 0, bytes);
        pa_stream_write(stream, silence, bytes, nullptr, 0, PA_SEEK_RELATIVE);
    }
}

void ServerLatency::probeTimed(pa_stream *stream, int success, void *data)
{
    auto *self = static_cast<ServerLatency *>(data);
    const pa_timing_info *timing = success ? pa_stream_get_timing_info(stream) : nullptr;
    if (stream != self->probe || !timing || !timing->playing)
        return;
    constexpr bool sinkOnly = true;
    self->report(
        {monotonicNowNs(), qint64(timing->sink_usec) * 1000, self->probeSinkIndex, sinkOnly});
}
