#include "listener.h"

#include "beatpredictor.h"
#include "serverlatency.h"
#include "soundrecorder.h"

Listener::Listener()
    : predictor(std::make_unique<BeatPredictor>()),
      recorder(std::make_unique<SoundRecorder>(
          SoundRecorder::Format::MonoFloat, [this](const SoundRecorder::Block &block) {
              predictor->feed(static_cast<const float *>(block.samples), block.frames,
                              block.heardNs);
          }))
{ }

// The recorder goes first: its thread feeds the predictor.
Listener::~Listener()
{
    recorder.reset();
}

bool Listener::start(const QString &source, QString *error)
{
    if (!recorder->start(source, error))
        return false;
    if (recorder->isMonitor())
        sinkDelay = std::make_unique<ServerLatency>(recorder->monitoredSink());
    return true;
}

void Listener::followSinkDelay()
{
    if (sinkDelay)
        sinkDelay->takeNew([this](const ServerLatency::Report &report) {
            recorder->setSinkDelayNs(report.latencyNs);
        });
}

QString Listener::description() const
{
    return recorder->description();
}

QString Listener::failure() const
{
    return recorder->failure();
}

std::vector<qint64> Listener::beatsAfter(qint64 afterNs, int count) const
{
    return predictor->coming(afterNs, count).heardNs;
}
