#include "serverquantum.h"

#include "monotonic.h"
#include "musicsource.h"

#include <pulse/pulseaudio.h>

#include <cstdio>
#include <cstring>

namespace {

// One question to the server, answered through libpulse's callbacks.
struct Asking
{
    pa_context *context = nullptr;
    pa_stream *stream = nullptr;
    qint64 quantumNs = 0;
    bool done = false;
};

void sinkInput(pa_context *, const pa_sink_input_info *info, int eol, void *data)
{
    auto *asking = static_cast<Asking *>(data);
    if (eol == 0 && info) {
        // "FRAMES/RATE"
        const char *latency = pa_proplist_gets(info->proplist, "node.latency");
        unsigned long long frames = 0, rate = 0;
        if (latency && std::sscanf(latency, "%llu/%llu", &frames, &rate) == 2 && rate > 0)
            asking->quantumNs = qint64(frames * 1'000'000'000ull / rate);
        return;
    }
    asking->done = true;
}

void streamState(pa_stream *stream, void *data)
{
    auto *asking = static_cast<Asking *>(data);
    const pa_stream_state_t state = pa_stream_get_state(stream);
    if (state == PA_STREAM_READY) {
        pa_operation *info = pa_context_get_sink_input_info(
            asking->context, pa_stream_get_index(stream), sinkInput, asking);
        asking->done = !info;
        if (info)
            pa_operation_unref(info);
    } else if (!PA_STREAM_IS_GOOD(state)) {
        asking->done = true;
    }
}

void server(pa_context *context, const pa_server_info *info, void *data)
{
    auto *asking = static_cast<Asking *>(data);
    if (!info || !info->server_name || !std::strstr(info->server_name, "PipeWire")) {
        asking->done = true;
        return;
    }
    // A stream that asks for the smallest buffer, corked (it never plays): the server gives it
    // no shorter cycle than its quantum.
    const pa_sample_spec spec {PA_SAMPLE_S16LE, quint32(musicRateHz), quint8(musicChannels)};
    asking->stream = pa_stream_new(context, "mincer quantum", &spec, nullptr);
    const quint32 frameBytes = quint32(pa_frame_size(&spec));
    const pa_buffer_attr smallest {quint32(-1), frameBytes, quint32(-1), frameBytes, quint32(-1)};
    if (!asking->stream) {
        asking->done = true;
        return;
    }
    pa_stream_set_state_callback(asking->stream, streamState, asking);
    if (pa_stream_connect_playback(asking->stream, nullptr, &smallest,
                                   pa_stream_flags_t(PA_STREAM_START_CORKED), nullptr, nullptr)
        < 0)
        asking->done = true;
}

void contextState(pa_context *context, void *data)
{
    auto *asking = static_cast<Asking *>(data);
    const pa_context_state_t state = pa_context_get_state(context);
    if (state == PA_CONTEXT_READY) {
        pa_operation *info = pa_context_get_server_info(context, server, asking);
        asking->done = !info;
        if (info)
            pa_operation_unref(info);
    } else if (!PA_CONTEXT_IS_GOOD(state)) {
        asking->done = true;
    }
}

} // namespace

qint64 serverQuantumNs(int waitMs)
{
    pa_mainloop *loop = pa_mainloop_new();
    if (!loop)
        return 0;
    Asking asking;
    asking.context = pa_context_new(pa_mainloop_get_api(loop), "mincer quantum");
    if (asking.context) {
        pa_context_set_state_callback(asking.context, contextState, &asking);
        const bool connecting
            = pa_context_connect(asking.context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0;
        const qint64 untilNs = monotonicNowNs() + qint64(waitMs) * 1'000'000;
        for (qint64 nowNs = monotonicNowNs(); connecting && !asking.done && nowNs < untilNs;
             nowNs = monotonicNowNs()) {
            if (pa_mainloop_prepare(loop, int((untilNs - nowNs) / 1000)) < 0
                || pa_mainloop_poll(loop) < 0 || pa_mainloop_dispatch(loop) < 0)
                break;
        }
        if (asking.stream) {
            pa_stream_set_state_callback(asking.stream, nullptr, nullptr);
            pa_stream_disconnect(asking.stream);
            pa_stream_unref(asking.stream);
        }
        pa_context_set_state_callback(asking.context, nullptr, nullptr);
        pa_context_disconnect(asking.context);
        pa_context_unref(asking.context);
    }
    pa_mainloop_free(loop);
    return asking.quantumNs;
}
