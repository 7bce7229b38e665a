#include "soundserverwatch.h"

#include "monotonic.h"

#include <pulse/context.h>
#include <pulse/mainloop.h>

bool SoundServerWatch::connect(int timeoutMs)
{
    disconnect();
    loop = pa_mainloop_new();
    context = loop ? pa_context_new(pa_mainloop_get_api(loop), "mincer") : nullptr;
    if (!context || pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        disconnect();
        return false;
    }
    constexpr int stepUs = 10'000;
    const qint64 deadlineNs = monotonicNowNs() + qint64(timeoutMs) * 1'000'000;
    for (;;) {
        const pa_context_state_t state = pa_context_get_state(context);
        if (state == PA_CONTEXT_READY)
            return true;
        if (!PA_CONTEXT_IS_GOOD(state) || monotonicNowNs() >= deadlineNs
            || pa_mainloop_prepare(loop, stepUs) < 0 || pa_mainloop_poll(loop) < 0
            || pa_mainloop_dispatch(loop) < 0) {
            disconnect();
            return false;
        }
    }
}

bool SoundServerWatch::serverGone()
{
    if (!context)
        return false;
    // Takes in what the connection has heard, without waiting.
    while (pa_mainloop_iterate(loop, 0, nullptr) > 0) { }
    return !PA_CONTEXT_IS_GOOD(pa_context_get_state(context));
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
}
