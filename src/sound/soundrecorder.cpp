#include "soundrecorder.h"

#include "frametime.h"
#include "monotonic.h"
#include "musicsource.h"

#include <pulse/pulseaudio.h>

#include <algorithm>

namespace {

constexpr qint64 fragmentNs = 10'000'000; // what the server hands over at a time
constexpr qint64 keptNs = 2'000'000'000; // what the server keeps when the thread falls behind
constexpr qint64 askEveryNs = 100'000'000; // the server's timing report
constexpr size_t reportsKept = 5; // the heard times follow the median of the latest reports

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
    self->monitorOf = info->monitor_of_sink;
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
    const auto flags = pa_stream_flags_t(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);
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
    const qint64 nowNs = monotonicNowNs();
    if (!self->asking && nowNs >= self->askAtNs) {
        if (pa_operation *asked = pa_stream_update_timing_info(stream, timingUpdated, self)) {
            pa_operation_unref(asked);
            self->asking = true;
        }
    }
    const qint64 frameBytes
        = self->format == Format::MonoFloat ? qint64(sizeof(float)) : musicBytesPerFrame;
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
        // Until the server's first timing report, some 10 ms, when a block is heard is not known.
        if (!self->heardStarts.empty()) {
            const qint64 heardNs = self->heardStartNs + framesToNs(self->framesRead);
            self->recordingNs.store(nowNs - (heardNs - self->sinkNs.load()));
            self->receiver({samples, frames, heardNs});
        }
        self->framesRead += frames;
        pa_stream_drop(stream);
    }
}

void SoundRecorder::timingUpdated(pa_stream *, int success, void *data)
{
    auto *self = static_cast<SoundRecorder *>(data);
    self->asking = false;
    self->askAtNs = monotonicNowNs() + askEveryNs;
    if (success)
        self->takeTiming();
}

// When frame 0 was heard, from the server's report: the sample last captured (at the write index)
// was captured the source's latency before the report, and for a monitor is heard the sink's
// delay after. (libpulse's own latency, interpolated from the read index, goes astray by hundreds
// of ms on the monitor of a sink that takes the music in bursts, as a network sink does.)
void SoundRecorder::takeTiming()
{
    const pa_timing_info *timing = pa_stream_get_timing_info(stream);
    if (!timing || timing->write_index < 0)
        return;
    const qint64 frameBytes
        = format == Format::MonoFloat ? qint64(sizeof(float)) : musicBytesPerFrame;
    // The report's moment is on the wall clock, the blocks' on the monotonic one.
    const qint64 reportNs = monotonicNowNs() - qint64(pa_timeval_age(&timing->timestamp)) * 1000;
    const qint64 givenNs = givenSinkDelayNs.load();
    const qint64 sinkDelayNs = !monitor ? 0
        : givenNs >= 0                  ? givenNs
                                        : qint64(timing->sink_usec) * 1000;
    sinkNs.store(sinkDelayNs);
    const qint64 heardNs = reportNs - qint64(timing->source_usec) * 1000 + sinkDelayNs;
    const qint64 startNs = heardNs - framesToNs(timing->write_index / frameBytes);
    if (heardStarts.size() < reportsKept)
        heardStarts.push_back(startNs);
    else
        heardStarts[nextHeardStart] = startNs;
    nextHeardStart = (nextHeardStart + 1) % reportsKept;
    std::vector<qint64> sorted = heardStarts;
    std::nth_element(sorted.begin(), sorted.begin() + ptrdiff_t(sorted.size() / 2), sorted.end());
    heardStartNs = sorted[sorted.size() / 2];
}
