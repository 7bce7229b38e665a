#include "soundserverwatch.h"

#include "monotonic.h"

#include <pulse/context.h>
#include <pulse/introspect.h>
#include <pulse/mainloop.h>
#include <pulse/subscribe.h>
#include <pulse/util.h>

#include <cstring>
#include <string>

#include <unistd.h>

namespace {

void forget(pa_operation *operation)
{
    if (operation)
        pa_operation_unref(operation);
}

// Whether a stream is this process's: libpulse names each client's process and host.
bool ownStream(const pa_sink_input_info &info)
{
    const char *pid = pa_proplist_gets(info.proplist, PA_PROP_APPLICATION_PROCESS_ID);
    const char *host = pa_proplist_gets(info.proplist, PA_PROP_APPLICATION_PROCESS_HOST);
    char ownHost[256] = {};
    return pid && std::to_string(getpid()) == pid
        && (!host || !pa_get_host_name(ownHost, sizeof ownHost) || std::strcmp(host, ownHost) == 0);
}

} // namespace

bool SoundServerWatch::serverWithoutOutput(int timeoutMs)
{
    pa_mainloop *asking = pa_mainloop_new();
    pa_context *server = asking ? pa_context_new(pa_mainloop_get_api(asking), "mincer") : nullptr;
    int answer = -1; // 1: no output, 0: one, -1: no answer
    const auto told = [](pa_context *, const pa_server_info *info, void *answer) {
        *static_cast<int *>(answer) = !info->default_sink_name || !*info->default_sink_name;
    };
    if (server && pa_context_connect(server, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0) {
        constexpr int stepUs = 10'000;
        const qint64 deadlineNs = monotonicNowNs() + qint64(timeoutMs) * 1'000'000;
        bool asked = false;
        while (answer < 0 && PA_CONTEXT_IS_GOOD(pa_context_get_state(server))
               && monotonicNowNs() < deadlineNs && pa_mainloop_prepare(asking, stepUs) >= 0
               && pa_mainloop_poll(asking) >= 0 && pa_mainloop_dispatch(asking) >= 0) {
            if (!asked && pa_context_get_state(server) == PA_CONTEXT_READY) {
                forget(pa_context_get_server_info(server, told, &answer));
                asked = true;
            }
        }
    }
    if (server) {
        pa_context_disconnect(server);
        pa_context_unref(server);
    }
    if (asking)
        pa_mainloop_free(asking);
    return answer == 1;
}

void SoundServerWatch::start()
{
    stop();
    watching = true;
    connect();
}

void SoundServerWatch::connect()
{
    loop = pa_mainloop_new();
    context = loop ? pa_context_new(pa_mainloop_get_api(loop), "mincer") : nullptr;
    if (!context || pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        disconnect();
        failed = true;
        nextTryNs = monotonicNowNs() + retryNs;
    }
}

bool SoundServerWatch::deviceGone()
{
    if (!watching)
        return false;
    if (!context && monotonicNowNs() >= nextTryNs)
        connect();
    if (!context)
        return false;
    while (pa_mainloop_iterate(loop, 0, nullptr) > 0) { }
    const pa_context_state_t state = pa_context_get_state(context);
    if (state == PA_CONTEXT_READY && !connected) {
        connected = true;
        pa_context_set_subscribe_callback(context, sinkInputChanged, this);
        forget(pa_context_subscribe(context, PA_SUBSCRIPTION_MASK_SINK_INPUT, nullptr, nullptr));
        forget(pa_context_get_sink_input_info_list(context, sinkInputs, this));
    }
    if (PA_CONTEXT_IS_GOOD(state))
        return streamGone;
    if (connected)
        return true; // the server went away
    // No connection to be had yet: tried again a while later.
    disconnect();
    failed = true;
    nextTryNs = monotonicNowNs() + retryNs;
    return false;
}

void SoundServerWatch::sinkInputChanged(pa_context *context, pa_subscription_event_type_t type,
                                        uint32_t index, void *data)
{
    auto *self = static_cast<SoundServerWatch *>(data);
    const int event = type & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
    if (event == PA_SUBSCRIPTION_EVENT_REMOVE && self->streamKnown && index == self->stream)
        self->streamGone = true;
    else if (event == PA_SUBSCRIPTION_EVENT_NEW)
        forget(pa_context_get_sink_input_info(context, index, sinkInput, self));
}

void SoundServerWatch::sinkInput(pa_context *, const pa_sink_input_info *info, int eol, void *data)
{
    auto *self = static_cast<SoundServerWatch *>(data);
    if (eol == 0 && info && ownStream(*info)
        && (!self->streamKnown || info->index > self->stream)) {
        self->streamKnown = true;
        self->stream = info->index;
    }
}

void SoundServerWatch::sinkInputs(pa_context *context, const pa_sink_input_info *info, int eol,
                                  void *data)
{
    sinkInput(context, info, eol, data);
    // Once a connection has failed, a server without the device's stream is another one, started
    // since the device opened. (Where a first connection finds none, the stream may be one of SDL
    // 2's own PipeWire driver, which the server need not list as this process's: the server alone
    // is watched.)
    auto *self = static_cast<SoundServerWatch *>(data);
    if (eol > 0 && !self->streamKnown && self->failed)
        self->streamGone = true;
}

void SoundServerWatch::stop()
{
    disconnect();
    watching = failed = connected = streamKnown = streamGone = false;
    nextTryNs = 0;
}

void SoundServerWatch::disconnect()
{
    if (context) {
        pa_context_disconnect(context);
        pa_context_unref(context);
        context = nullptr;
    }
    if (loop) {
        pa_mainloop_free(loop);
        loop = nullptr;
    }
    connected = false;
}
