#ifndef SOUNDRECORDER_H
#define SOUNDRECORDER_H

#include <QString>
#include <QtGlobal>

#include <atomic>
#include <functional>
#include <mutex>
#include <vector>

struct pa_context;
struct pa_server_info;
struct pa_sink_info;
struct pa_source_info;
struct pa_stream;
struct pa_threaded_mainloop;

// Records what the computer plays (the default sink's monitor) or what a source hears (a
// microphone, a line-in), through libpulse, from PulseAudio or PipeWire's pipewire-pulse, on a
// thread of its own, in blocks of about 10 ms. Each block comes with the moment its first sample
// is heard: what the recording delays it by (the source's latency and what waits to be read) is
// taken off, and for a sink's monitor what the sink delays the music by before it is heard (a
// network or Bluetooth speaker) is added. Nothing is played back and nothing is stored.
class SoundRecorder
{
public:
    // The show's format (16-bit stereo), or mono float samples; both at 44100 Hz.
    enum class Format { Show, MonoFloat };
    struct Block
    {
        const void *samples; // in the format asked for; silence where the server lost some
        qint64 frames;
        qint64 heardNs; // when its first sample is heard (monotonicNowNs())
    };
    // Called on the recorder's thread with every block, in order.
    using Receiver = std::function<void(const Block &)>;

    SoundRecorder(Format format, Receiver receiver);
    // Stops recording.
    ~SoundRecorder();

    SoundRecorder(const SoundRecorder &) = delete;
    SoundRecorder &operator=(const SoundRecorder &) = delete;

    // Starts recording (once) `source` (a source's name as `pactl list short sources` gives it;
    // empty: the default sink's monitor) and waits until it records, at most `timeoutMs`. False,
    // with one line saying why in `error`, when it cannot.
    bool start(const QString &source, QString *error, int timeoutMs = 5000);
    // The source recorded, as the server describes it ("Monitor of Speakers").
    QString description() const { return sourceDescription; }
    // Whether it records a sink's monitor, to whose times the sink's delay is added.
    bool isMonitor() const { return monitor; }
    // The index of the sink whose monitor it records; ~0u for another source.
    quint32 monitoredSink() const { return monitorOf; }

    // Any thread: the sink's delay measured elsewhere, to count instead of what the server
    // reports for it (pipewire-pulse reports none); negative: the server's figure again.
    void setSinkDelayNs(qint64 delayNs) { givenSinkDelayNs.store(delayNs); }
    // Any thread: the delays counted for the latest block (ns): the recording's, the sink's.
    qint64 recordingDelayNs() const { return recordingNs.load(); }
    qint64 sinkDelayNs() const { return sinkNs.load(); }
    // Any thread: why recording stopped (the server or the source went away); empty while it runs.
    QString failure() const;

private:
    // The recorder's thread.
    static void contextState(pa_context *, void *self);
    static void serverInfo(pa_context *, const pa_server_info *info, void *self);
    static void sinkInfo(pa_context *, const pa_sink_info *info, int eol, void *self);
    static void sourceInfo(pa_context *, const pa_source_info *info, int eol, void *self);
    static void streamState(pa_stream *, void *self);
    static void readable(pa_stream *, size_t, void *self);
    static void timingUpdated(pa_stream *, int success, void *self);
    void connectStream(const char *source);
    void fail(const QString &why);
    void takeTiming();

    const Format format;
    const Receiver receiver;
    pa_threaded_mainloop *loop = nullptr;
    pa_context *context = nullptr;
    pa_stream *stream = nullptr;
    QString sourceName;
    QString sourceDescription;
    bool monitor = false;
    quint32 monitorOf = ~0u;
    bool recording = false;
    std::vector<char> silence; // stands in for what the server lost
    qint64 framesRead = 0;
    // When frame 0 was heard, by the latest timing reports of the server (the median of them),
    // and when the next report is asked for.
    std::vector<qint64> heardStarts;
    size_t nextHeardStart = 0;
    qint64 heardStartNs = 0;
    bool asking = false;
    qint64 askAtNs = 0;

    std::atomic<qint64> givenSinkDelayNs {-1};
    std::atomic<qint64> recordingNs {0}, sinkNs {0};
    mutable std::mutex failureLock;
    QString failureText;
};

#endif // SOUNDRECORDER_H
