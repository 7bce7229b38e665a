#include "serverlatency.h"

#include <pulse/pulseaudio.h>

#include <unistd.h>

namespace {

constexpr const char *pidKey = "application.process.id";
constexpr const char *machineKey = "application.process.machine_id";

std::string property(const pa_proplist *properties, const char *key)
{
    const char *value = properties ? pa_proplist_gets(properties, key) : nullptr;
    return value ? value : "";
}

} // namespace

ServerLatency::ServerLatency()
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

void ServerLatency::dropContext()
{
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
        self->found = false;
        self->asking = pa_context_get_sink_input_info_list(self->context, sinkInput, self);
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

void ServerLatency::sinkInput(pa_context *, const pa_sink_input_info *info, int eol, void *data)
{
    auto *self = static_cast<ServerLatency *>(data);
    if (eol == 0 && info) {
        // This process's stream; of several (a device opened again), the newest.
        const std::string machine = property(info->proplist, machineKey);
        if (property(info->proplist, pidKey) == std::to_string(getpid())
            && (machine.empty() || self->machineId.empty() || machine == self->machineId)
            && (!self->found || info->index > self->streamIndex)) {
            self->found = true;
            self->streamIndex = info->index;
            self->sinkIndex = info->sink;
            self->latencyNs = qint64(info->buffer_usec + info->sink_usec) * 1000;
        }
        return;
    }
    if (eol < 0 || !self->found)
        return;
    const qint64 nowNs = monotonicNowNs();
    if (self->sinkIndex != self->lastSink) {
        // A new stream, or one moved to another speaker: its delay is asked for often for a while.
        self->lastSink = self->sinkIndex;
        self->quicklyUntilNs = nowNs + quicklyForNs;
    }
    const std::lock_guard<std::mutex> guard(self->lock);
    self->latest = {nowNs, self->latencyNs, self->sinkIndex};
    ++self->reports;
}
