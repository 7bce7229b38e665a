// Reads what `parec` records from the sink's monitor on standard input, writes it unchanged to
// RECORDING, and notes in CHUNKS, per read, the CLOCK_MONOTONIC time it arrived (µs) and the
// number of bytes received so far: "ARRIVAL_US TOTAL_BYTES". Each line is written at once, so
// that others can tell when the recording has begun.
// Usage: monitorrecorder RECORDING CHUNKS

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <unistd.h>

int main(int argc, char *argv[])
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: monitorrecorder RECORDING CHUNKS\n");
        return 2;
    }
    FILE *recording = std::fopen(argv[1], "wb");
    FILE *chunks = std::fopen(argv[2], "w");
    if (!recording || !chunks) {
        std::perror("monitorrecorder");
        return 1;
    }
    static char buffer[1 << 16];
    long long total = 0;
    for (;;) {
        const ssize_t got = read(0, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        total += got;
        std::fwrite(buffer, 1, size_t(got), recording);
        std::fprintf(chunks, "%lld %lld\n", (long long)now.tv_sec * 1000000 + now.tv_nsec / 1000,
                     total);
        std::fflush(chunks);
    }
    return std::fclose(recording) == 0 && std::fclose(chunks) == 0 ? 0 : 1;
}
