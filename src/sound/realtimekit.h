#ifndef REALTIMEKIT_H
#define REALTIMEKIT_H

#include <QtGlobal>

#include <sys/types.h>

// RealtimeKit (rtkit), through which a desktop gives an ordinary user's threads a higher priority
// than the user may give them: a service on the system bus, asked over D-Bus, as PulseAudio,
// PipeWire and SDL 2 ask it. Where there is no system bus or no rtkit on it, it grants nothing.
class RealtimeKit
{
public:
    // Asks the desktop's rtkit: connects to the system bus, and learns what rtkit grants.
    RealtimeKit();

    // Whether rtkit answered.
    bool available() const { return answered; }

    // Puts this process's thread `thread` (its kernel id) at real-time priority, at the lowest
    // real-time level: ahead of every ordinary thread on the machine, behind the sound server's
    // own real-time threads. Limits this process's real-time threads' CPU time between blocking
    // calls to what rtkit requires (RLIMIT_RTTIME), as it grants real-time to no other process.
    bool makeRealtime(pid_t thread);
    // Gives the thread the lowest niceness rtkit grants (usually -15).
    bool makeHighPriority(pid_t thread);

private:
    bool answered = false;
    qint64 rtTimeLimitUs = -1; // the most RLIMIT_RTTIME rtkit allows (-1: no real-time)
    int leastNice = 0;
};

#endif // REALTIMEKIT_H
