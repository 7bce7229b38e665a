#ifndef LISTENER_H
#define LISTENER_H

#include <QString>
#include <QtGlobal>

#include <memory>
#include <vector>

class BeatPredictor;
class ServerLatency;
class SoundRecorder;

// Listens to what the computer plays (the default sink's monitor) or to a named source, and
// tells when its coming beats will be heard: a SoundRecorder feeding a BeatPredictor on the
// recorder's thread. Nothing is played back and nothing is stored.
class Listener
{
public:
    Listener();
    ~Listener();

    // Starts listening to `source` (empty: what the computer plays); false, with one line saying
    // why in `error`, when it cannot.
    bool start(const QString &source, QString *error);
    // The source listened to, as the sound server describes it.
    QString description() const;
    // Why listening stopped (the server or the source went away); empty while it listens.
    QString failure() const;

    // The beats heard after `afterNs` (monotonic clock), `count` of them at most, ascending; none
    // without a steady beat.
    std::vector<qint64> beatsAfter(qint64 afterNs, int count) const;
    // Hands the recorder the delay of the sink listened to, where the server tells it only to a
    // stream that plays there (PipeWire). Called now and then, on the thread that started it.
    void followSinkDelay();

private:
    std::unique_ptr<BeatPredictor> predictor;
    std::unique_ptr<SoundRecorder> recorder;
    std::unique_ptr<ServerLatency> sinkDelay; // of the sink whose monitor is recorded
};

#endif // LISTENER_H
