// mincer-teardown-bench: how long the beat thread takes to stop when the show ends (Escape), on a
// long song dense with onsets, loaded and analysed as the demo does it.
//
//     build/mincer-teardown-bench [--minutes N] [--after SECONDS] [--runs N]

#include "beatfinder.h"
#include "musicbuffer.h"
#include "musicsource.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#include <QtEndian>

#include <algorithm>
#include <cstdio>
#include <memory>

namespace {

// A song of noise bursts of random loudness every 40 to 160 ms: an onset at every burst.
class DenseSong : public MusicSource
{
public:
    explicit DenseSong(qint64 seconds) : totalFrames(seconds * musicRateHz) { }
    qint64 read(char *out, qint64 maxBytes) override
    {
        const qint64 frames = std::min(maxBytes / musicBytesPerFrame, totalFrames - frame);
        for (qint64 i = 0; i < frames; ++i, ++frame) {
            if (frame >= nextBurst) {
                burstStart = frame;
                level = 2000 + int(next() % 20000);
                nextBurst = frame + musicRateHz * (40 + qint64(next() % 120)) / 1000;
            }
            const qint64 age = frame - burstStart;
            const int sample = age < 2000
                ? int((int(next() % 2001) - 1000) * level / 1000 * (2000 - age) / 2000)
                : 0;
            qToLittleEndian<qint16>(qint16(std::clamp(sample, -32000, 32000)), out + 4 * i);
            qToLittleEndian<qint16>(qint16(std::clamp(sample, -32000, 32000)), out + 4 * i + 2);
        }
        return frames * musicBytesPerFrame;
    }
    qint64 expectedBytes() const override { return totalFrames * musicBytesPerFrame; }
    bool isFile() const override { return true; }
    QString errorString() const override { return {}; }

private:
    quint32 next() { return state = state * 1664525u + 1013904223u; }
    const qint64 totalFrames;
    qint64 frame = 0, nextBurst = 0, burstStart = 0;
    int level = 0;
    quint32 state = 1;
};

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription("Times stopping the beat thread on a long, dense song.");
    parser.addHelpOption();
    parser.addOptions({{"minutes", "The song's length (default 60).", "N", "60"},
                       {"after", "Stop it SECONDS after the start (default 5).", "SECONDS", "5"},
                       {"runs", "Start and stop it N times (default 3).", "N", "3"}});
    parser.process(app);
    const qint64 minutes = std::max(1, parser.value("minutes").toInt());
    const double afterS = std::max(0.0, parser.value("after").toDouble());
    const int runs = std::max(1, parser.value("runs").toInt());

    double worstMs = 0;
    for (int run = 0; run < runs; ++run) {
        MusicBuffer music(std::make_unique<DenseSong>(minutes * 60));
        music.startLoading();
        auto finder = std::make_unique<BeatFinder>(music);
        QThread::msleep(static_cast<unsigned long>(afterS * 1000));
        const int handovers = finder->handedOver();
        QElapsedTimer timer;
        timer.start();
        finder.reset();
        const double stopMs = double(timer.nsecsElapsed()) / 1e6;
        worstMs = std::max(worstMs, stopMs);
        std::printf("run %d: %lld min song, %.1f s loaded, %d handovers; the beat thread stopped "
                    "in %.2f ms\n",
                    run + 1, qlonglong(minutes), double(music.loadedBytes()) / musicBytesPerSecond,
                    handovers, stopMs);
        std::fflush(stdout);
    }
    std::printf("slowest stop: %.2f ms (the target: 100 ms)\n", worstMs);
    return 0;
}
