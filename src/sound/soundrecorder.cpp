#include "soundrecorder.h"

#include "monotonic.h"
#include "musicsource.h"

#include <pulse/pulseaudio.h>

#include <cstdlib>

namespace {

constexpr qint64 fragmentNs = 10'000'000; // what the server hands over at a time
constexpr qint64 keptNs = 2'000'000'000; // what the server keeps when the thread falls behind
// A block's measured heard time, which jitters by a few ms, is smoothed against the sample clock;
// a jump larger than this (a changed sink delay, lost samples) is taken at once.
constexpr qint64 jumpNs = 20'000'000;
constexpr int smoothing = 8; // each measurement moves the estimate by an eighth of its difference

// Sample frames to ns, without overflow for days of sound.
qint64 framesToNs(qint64 frames)
{
    return frames / musicRateHz * 1'000'000'000
        + frames % musicRateHz * 1'000'000'000 / musicRateHz;
}

QString reason(pa_context *context)
{
    return QString::fromUtf8(pa_strerror(pa_context_errno(context)));
}

} // namespace

SoundRecorder::SoundRecorder(Format chosen, Receiver take)
    : format(chosen), receiver(std::move(take))
{ }

SoundRecorder::~SoundRecorder()
{
    if (!loop)
        return;
    pa_threaded_mainloop_stop(loop);
    if (stream) {
        pa_stream_disconnect(stream);
        pa_stream_unref(stream);
    }
    if (context) {
        pa_context_disconnect(context);
        pa_context_unref(context);
    }
    pa_threaded_mainloop_free(loop);
}

bool SoundRecorder::start(const QString &source, QString *error, int timeoutMs)
{
    sourceName = source;
    loop = pa_threaded_mainloop_new();
    if (!loop) {
        *error = QStringLiteral("cannot start the sound library's thread");
        return false;
    }
    pa_threaded_mainloop_set_name(loop, "mincer listen");
    context = pa_context_new(pa_threaded_mainloop_get_api(loop), "mincer listen");
    if (!context) {
        *error = QStringLiteral("cannot start the sound library's thread");
        return false;
    }
    pa_context_set_state_callback(context, contextState, this);
    pa_threaded_mainloop_lock(loop);
    if (pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0
        || pa_threaded_mainloop_start(loop) < 0) {
        *error = QStringLiteral("cannot reach the sound server: ") + reason(context);
        pa_threaded_mainloop_unlock(loop);
        return false;
    }
    // Woken by every step below, and by the deadline.
    const auto deadline = [](pa_mainloop_api *, pa_time_event *, const timeval *, void *data) {
        pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop *>(data), 0);
    };
    pa_time_event *timer = pa_context_rttime_new(
        context, pa_rtclock_now() + pa_usec_t(timeoutMs) * 1000, deadline, loop);
    const qint64 deadlineNs = monotonicNowNs() + qint64(timeoutMs) * 1'000'000;
    while (!recording && failure().isEmpty() && monotonicNowNs() < deadlineNs)
        pa_threaded_mainloop_wait(loop);
    if (timer)
        pa_threaded_mainloop_get_api(loop)->time_free(timer);
    if (!recording && failure().isEmpty())
        fail(QStringLiteral("the sound server did not answer within %1 s").arg(timeoutMs / 1000.0));
    pa_threaded_mainloop_unlock(loop);
    *error = failure();
    return recording;
}

QString SoundRecorder::failure() const
{
    const std::lock_guard<std::mutex> guard(failureLock);
    return failureText;
}

void SoundRecorder::fail(const QString &why)
{
    {
        const std::lock_guard<std::mutex> guard(failureLock);
        if (failureText.isEmpty())
            failureText = why;
    }
    pa_threaded_mainloop_signal(loop, 0);
}

void SoundRecorder::contextState(pa_context *context, void *data)
{
    auto *self = static_cast<SoundRecorder *>(data);
    const pa_context_state_t state = pa_context_get_state(context);
    if (state == PA_CONTEXT_READY) {
        // The default sink's monitor is found through the server's default sink.
        pa_operation *asking = self->sourceName.isEmpty()
            ? pa_context_get_server_info(context, serverInfo, self)
            : pa_context_get_source_info_by_name(context, self->sourceName.toUtf8().constData(),
                                                 sourceInfo, self);
        if (asking)
            pa_operation_unref(asking);
        else
            self->fail(QStringLiteral("the sound server does not answer: ") + reason(context));
    } else if (!PA_CONTEXT_IS_GOOD(state)) {
        self->fail(self->recording
                       ? QStringLiteral("the sound server went away")
                       : QStringLiteral("cannot reach the sound server: ") + reason(context));
    }
}

void SoundRecorder::serverInfo(pa_context *context, const pa_server_info *info, void *data)
{
    auto *self = static_cast<SoundRecorder *>(data);
    pa_operation *asking = info && info->default_sink_name && *info->default_sink_name
        ? pa_context_get_sink_info_by_name(context, info->default_sink_name, sinkInfo, self)
        : nullptr;
    if (asking)
        pa_operation_unref(asking);
    else
        self->fail(QStringLiteral("the sound server has no default output to listen to"));
}

void SoundRecorder::sinkInfo(pa_context *context, const pa_sink_info *info, int eol, void *data)
{
    auto *self = static_cast<SoundRecorder *>(data);
    if (eol != 0) {
        if (eol < 0)
            self->fail(QStringLiteral("the sound server's default output went away"));
        return;
    }
    self->sourceName = QString::fromUtf8(info->monitor_source_name);
    pa_operation *asking
        = pa_context_get_source_info_by_name(context, info->monitor_source_name, sourceInfo, self);
    if (asking)
        pa_operation_unref(asking);
    else
        self->fail(QStringLiteral("the sound server does not answer: ") + reason(context));
}

void SoundRecorder::sourceInfo(pa_context *, const pa_source_info *info, int eol, void *data)
{
    auto *self = static_cast<SoundRecorder *>(data);
    if (eol != 0) {
        if (eol < 0)
            self->fail(QStringLiteral("no sound source named \"%1\" (pactl list short sources "
                                      "lists them)")
                           .arg(self->sourceName));
        return;
    }
    self->monitor = info->monitor_of_sink != PA_INVALID_INDEX;
    self->sourceDescription = QString::fromUtf8(info->description ? info->description : info->name);
    self->connectStream(info->name);
}

void SoundRecorder::connectStream(const char *source)
{
    const bool mono = format == Format::MonoFloat;
    const pa_sample_spec spec {mono ? PA_SAMPLE_FLOAT32NE : PA_SAMPLE_S16LE, musicRateHz,
                               quint8(mono ? 1 : musicChannels)};
    stream = pa_stream_new(context, "mincer listen", &spec, nullptr);
    if (!stream) {
        fail(QStringLiteral("cannot record: ") + reason(context));
        return;
    }
    pa_stream_set_state_callback(stream, streamState, this);
    pa_stream_set_read_callback(stream, readable, this);
    pa_buffer_attr attributes {};
    attributes.maxlength = quint32(pa_usec_to_bytes(keptNs / 1000, &spec));
    attributes.fragsize = quint32(pa_usec_to_bytes(fragmentNs / 1000, &spec));
    attributes.tlength = attributes.prebuf = attributes.minreq = quint32(-1);
    // The stream stays on its source: when that goes away, recording ends and says so.
    const auto flags = pa_stream_flags_t(PA_STREAM_ADJUST_LATENCY | PA_STREAM_AUTO_TIMING_UPDATE
                                         | PA_STREAM_INTERPOLATE_TIMING | PA_STREAM_DONT_MOVE);
    if (pa_stream_connect_record(stream, source, &attributes, flags) < 0)
        fail(QStringLiteral("cannot record from %1: ").arg(sourceDescription) + reason(context));
}

void SoundRecorder::streamState(pa_stream *stream, void *data)
{
    auto *self = static_cast<SoundRecorder *>(data);
    switch (pa_stream_get_state(stream)) {
    case PA_STREAM_READY:
        self->recording = true;
        pa_threaded_mainloop_signal(self->loop, 0);
        break;
    case PA_STREAM_FAILED:
    case PA_STREAM_TERMINATED:
        self->fail(self->recording
                       ? QStringLiteral("%1 went away").arg(self->sourceDescription)
                       : QStringLiteral("cannot record from %1: ").arg(self->sourceDescription)
                           + reason(self->context));
        break;
    default:
        break;
    }
}

void SoundRecorder::readable(pa_stream *stream, size_t, void *data)
{
    auto *self = static_cast<SoundRecorder *>(data);
    const qint64 frameBytes
        = self->format == Format::MonoFloat ? qint64(sizeof(float)) : musicBytesPerFrame;
    // How long ago the next sample to read was heard (negative: it is still to be heard), as
    // libpulse reckons it: for a monitor, the sink's delay is taken off already.
    pa_usec_t latencyUs = 0;
    int negative = 0;
    const pa_timing_info *timing = pa_stream_get_timing_info(stream);
    if (timing && pa_stream_get_latency(stream, &latencyUs, &negative) == 0) {
        const qint64 nowNs = monotonicNowNs();
        const qint64 reportedSinkNs = self->monitor ? qint64(timing->sink_usec) * 1000 : 0;
        const qint64 givenNs = self->givenSinkDelayNs.load();
        const qint64 sinkDelayNs = !self->monitor ? 0 : givenNs >= 0 ? givenNs : reportedSinkNs;
        const qint64 recordingDelayNs
            = (negative ? -1 : 1) * qint64(latencyUs) * 1000 + reportedSinkNs;
        self->recordingNs.store(recordingDelayNs);
        self->sinkNs.store(sinkDelayNs);
        self->smoothHeardNs(nowNs - recordingDelayNs + sinkDelayNs);
    }
    const void *samples = nullptr;
    size_t bytes = 0;
    while (pa_stream_peek(stream, &samples, &bytes) == 0 && bytes > 0) {
        if (!samples) {
            // A hole: what the server lost, heard as silence.
            if (self->silence.size() < bytes)
                self->silence.resize(bytes, 0);
            samples = self->silence.data();
        }
        const qint64 frames = qint64(bytes) / frameBytes;
        if (self->timed)
            self->receiver({samples, frames, self->heardStartNs + framesToNs(self->framesRead)});
        self->framesRead += frames;
        pa_stream_drop(stream);
    }
}

// Takes the measured moment at which frame `framesRead` is heard into the estimate of when frame
// 0 would have been heard.
void SoundRecorder::smoothHeardNs(qint64 heardNs)
{
    const qint64 measuredStartNs = heardNs - framesToNs(framesRead);
    if (!timed || std::llabs(measuredStartNs - heardStartNs) > jumpNs)
        heardStartNs = measuredStartNs;
    else
        heardStartNs += (measuredStartNs - heardStartNs) / smoothing;
    timed = true;
}
