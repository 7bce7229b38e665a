#ifndef MONOTONIC_H
#define MONOTONIC_H

#include <QtGlobal>

#include <chrono>

// Now on the monotonic clock (CLOCK_MONOTONIC, the clock of QElapsedTimer and of the refresh
// times the X server reports), in ns.
inline qint64 monotonicNowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

#endif // MONOTONIC_H
