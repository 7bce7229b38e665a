// mincer-listen-bench: what listening costs, as a share of one core. A song, decoded first, fed
// to the beat predictor in 10 ms blocks as the recorder hands them over, the coming beats asked
// for after each; or, with --live, what the sound server plays recorded for some seconds.
//
//     build/mincer-listen-bench SONG
//     build/mincer-listen-bench --live SECONDS [--source NAME]

#include "beatpredictor.h"
#include "frametime.h"
#include "monotonic.h"
#include "musicsource.h"
#include "soundrecorder.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QtEndian>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <memory>
#include <thread>
#include <vector>

#include <sys/resource.h>

namespace {

qint64 cpuNs(clockid_t clock)
{
    timespec now {};
    clock_gettime(clock, &now);
    return qint64(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

// The song decoded into mono samples.
bool decode(const QString &path, std::vector<float> *mono)
{
    QString error;
    const std::unique_ptr<MusicSource> song = openMusic(path, &error);
    if (!song) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return false;
    }
    std::vector<char> piece(64 * 1024);
    qint64 got = 0;
    while ((got = song->read(piece.data(), qint64(piece.size()))) > 0) {
        for (qint64 at = 0; at + musicBytesPerFrame <= got; at += musicBytesPerFrame)
            mono->push_back(float(qFromLittleEndian<qint16>(piece.data() + at)
                                  + qFromLittleEndian<qint16>(piece.data() + at + 2))
                            / 65536.0f);
    }
    return got == 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription("Measures what listening to music costs.");
    parser.addHelpOption();
    parser.addOptions(
        {{"live", "Record what the sound server plays for S seconds.", "S"},
         {"source", "With --live: record NAME, not the default sink's monitor.", "NAME"}});
    parser.addPositionalArgument("song", "The song to feed to the beat predictor.");
    parser.process(app);

    if (parser.isSet("live")) {
        const double seconds = parser.value("live").toDouble();
        BeatPredictor predictor;
        qint64 blocks = 0;
        SoundRecorder recorder(SoundRecorder::Format::MonoFloat,
                               [&](const SoundRecorder::Block &block) {
                                   predictor.feed(static_cast<const float *>(block.samples),
                                                  block.frames, block.heardNs);
                                   ++blocks;
                               });
        QString error;
        const qint64 startNs = monotonicNowNs(), startCpuNs = cpuNs(CLOCK_PROCESS_CPUTIME_ID);
        if (!recorder.start(parser.value("source"), &error)) {
            std::fprintf(stderr, "%s\n", qPrintable(error));
            return 1;
        }
        // The show would ask every refresh, 60 times a second.
        std::size_t withBeat = 0, asks = 0;
        while (monotonicNowNs() < startNs + qint64(seconds * 1e9) && recorder.failure().isEmpty()) {
            std::this_thread::sleep_for(std::chrono::microseconds(16'667));
            withBeat += predictor.coming(monotonicNowNs(), 4).heardNs.empty() ? 0 : 1;
            ++asks;
        }
        const double cpuS = (cpuNs(CLOCK_PROCESS_CPUTIME_ID) - startCpuNs) / 1e9;
        const double wallS = (monotonicNowNs() - startNs) / 1e9;
        std::printf("recorded %s for %.1f s in %lld blocks (a beat in %.0f %% of the asks): "
                    "%.3f s of CPU = %.4f of a core (the target: at most 0.1)\n",
                    qPrintable(recorder.description()), wallS, qlonglong(blocks),
                    100.0 * double(withBeat) / double(std::max<std::size_t>(1, asks)), cpuS,
                    cpuS / wallS);
        return recorder.failure().isEmpty() ? 0 : 1;
    }

    if (parser.positionalArguments().size() != 1)
        parser.showHelp(1);
    std::vector<float> mono;
    if (!decode(parser.positionalArguments().constFirst(), &mono))
        return 1;
    const double songS = double(mono.size()) / musicRateHz;
    constexpr qint64 blockFrames = musicRateHz / 100;
    BeatPredictor predictor;
    std::size_t withBeat = 0, asks = 0;
    const qint64 startCpuNs = cpuNs(CLOCK_THREAD_CPUTIME_ID);
    for (qint64 at = 0; at + blockFrames <= qint64(mono.size()); at += blockFrames) {
        const qint64 heardNs = framesToNs(at);
        predictor.feed(mono.data() + at, blockFrames, heardNs);
        ++asks;
        withBeat += predictor.coming(heardNs, 4).heardNs.empty() ? 0 : 1;
    }
    const double cpuS = (cpuNs(CLOCK_THREAD_CPUTIME_ID) - startCpuNs) / 1e9;
    std::printf("%.1f s of music, a beat in %.0f %% of it: %.3f s of CPU = %.4f of a core (the "
                "target: at most 0.1)\n",
                songS, 100.0 * double(withBeat) / double(std::max<std::size_t>(1, asks)), cpuS,
                cpuS / songS);
    return 0;
}
