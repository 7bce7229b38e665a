// mincer-decode-bench: how fast a song decodes into the show's format, to its first second and
// whole, and how fast its beats are found, as ratios to the song's own length; and how much
// memory each takes.
//
//     build/mincer-decode-bench [--runs N] [--out FILE] [--beats FILE] SONG

#include "beattracker.h"
#include "musicdecoder.h"
#include "musicsource.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>

#include <algorithm>
#include <cstdio>
#include <sys/resource.h>

namespace {

long peakRssKiB()
{
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription("Times decoding a song into the show's format.");
    parser.addHelpOption();
    parser.addOptions(
        {{"runs", "Decode the song N times (default 3).", "N", "3"},
         {"out", "Write the decoded music (of the first run) to FILE.", "FILE"},
         {"beats", "Write the beats found, in seconds, one a line, to FILE.", "FILE"}});
    parser.addPositionalArgument("song", "The song to decode.");
    parser.process(app);
    if (parser.positionalArguments().size() != 1)
        parser.showHelp(1);
    const QString song = parser.positionalArguments().constFirst();
    const int runs = std::max(1, parser.value("runs").toInt());

    QFile out(parser.value("out"));
    if (parser.isSet("out") && !out.open(QIODevice::WriteOnly)) {
        std::fprintf(stderr, "cannot write %s: %s\n", qPrintable(out.fileName()),
                     qPrintable(out.errorString()));
        return 1;
    }
    const long rssBeforeKiB = peakRssKiB();
    QByteArray buffer(64 * 1024, Qt::Uninitialized); // what a loader might hand over at a time
    for (int run = 0; run < runs; ++run) {
        QElapsedTimer timer;
        timer.start();
        MusicDecoder decoder;
        QString error;
        if (!decoder.open(song, &error)) {
            std::fprintf(stderr, "%s\n", qPrintable(error));
            return 1;
        }
        const qint64 openNs = timer.nsecsElapsed();
        qint64 bytes = 0, firstSecondNs = -1, got = 0;
        while ((got = decoder.read(buffer.data(), buffer.size())) > 0) {
            bytes += got;
            if (firstSecondNs < 0 && bytes >= musicBytesPerSecond)
                firstSecondNs = timer.nsecsElapsed();
            if (run == 0 && out.isOpen())
                out.write(buffer.constData(), got);
        }
        const qint64 wholeNs = timer.nsecsElapsed();
        if (got < 0)
            std::fprintf(stderr, "%s\n", qPrintable(decoder.errorString()));
        const double songS = double(bytes) / musicBytesPerSecond;
        std::printf("run %d: %.2f s of music (%lld bytes, %lld expected); open %.1f ms, first "
                    "second %.1f ms, whole %.1f ms = %.0fx real time\n",
                    run + 1, songS, qlonglong(bytes), qlonglong(decoder.expectedBytes()),
                    openNs / 1e6, firstSecondNs / 1e6, wholeNs / 1e6, songS / (wholeNs / 1e9));
    }
    const long rssDecodedKiB = peakRssKiB();
    std::printf("peak resident memory: %ld KiB, of which %ld KiB grew while decoding\n",
                rssDecodedKiB, rssDecodedKiB - rssBeforeKiB);

    // The beats, found as the demo finds them: the decoded music fed in pieces, then chosen.
    for (int run = 0; run < runs; ++run) {
        MusicDecoder decoder;
        QString error;
        if (!decoder.open(song, &error))
            return 1;
        BeatTracker tracker;
        QElapsedTimer timer;
        qint64 feedingNs = 0, got = 0;
        while ((got = decoder.read(buffer.data(), buffer.size())) > 0) {
            timer.start();
            tracker.feed(buffer.constData(), got);
            feedingNs += timer.nsecsElapsed();
        }
        timer.start();
        tracker.finish();
        const std::vector<qint64> beats = tracker.beats();
        const qint64 choosingNs = timer.nsecsElapsed();
        const double songS = double(tracker.fedFrames()) / musicRateHz;
        if (run == 0 && parser.isSet("beats")) {
            QFile list(parser.value("beats"));
            if (!list.open(QIODevice::WriteOnly | QIODevice::Text))
                return 1;
            for (const qint64 beat : beats)
                list.write(QByteArray::number(double(beat) / musicRateHz, 'f', 6) + '\n');
        }
        std::printf("run %d: %zu beats found in %.1f ms (analysing %.1f ms, choosing %.1f ms) = "
                    "%.0fx real time\n",
                    run + 1, beats.size(), (feedingNs + choosingNs) / 1e6, feedingNs / 1e6,
                    choosingNs / 1e6, songS / ((feedingNs + choosingNs) / 1e9));
    }
    std::printf("peak resident memory: %ld KiB, of which %ld KiB grew while finding beats\n",
                peakRssKiB(), peakRssKiB() - rssDecodedKiB);
    return 0;
}
