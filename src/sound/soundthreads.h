#ifndef SOUNDTHREADS_H
#define SOUNDTHREADS_H

#include <sys/types.h>

#include <vector>

// The threads that feed the sound device, put ahead of everything else on the machine as far as
// the system allows: a show on a busy machine may drop frames, never sound.

// The ids of this process's threads.
std::vector<pid_t> processThreads();

// Gives the threads that opening the sound device started, those not in `before`, the highest
// priority this process may have: SDL's audio thread, which calls the callback and hands the
// device its buffers, and a sound server client's threads. Asks the desktop's rtkit for it (see
// RealtimeKit), else takes the lowest niceness the process may take itself. The thread that
// opened the device must be named `openerName`: SDL 1.2's audio thread takes its name.
void raiseSoundThreads(const std::vector<pid_t> &before, const char *openerName);

#endif // SOUNDTHREADS_H
