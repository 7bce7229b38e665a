#ifndef SERVERQUANTUM_H
#define SERVERQUANTUM_H

#include <QtGlobal>

// The shortest cycle in which the sound server takes music from a stream (ns), where the server
// says so: PipeWire's quantum, which pipewire-pulse gives a new stream as its node.latency however
// small a buffer the stream asks for (PipeWire raises it to 1024/48000, 21.3 ms, in a virtual
// machine). 0 where the server says nothing of it (PulseAudio) or does not answer within
// `waitMs`. Asked of the server that libpulse finds, on a connection of its own.
qint64 serverQuantumNs(int waitMs);

#endif // SERVERQUANTUM_H
