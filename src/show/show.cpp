#include "show.h"

#include "beatfinder.h"
#include "musicclock.h"
#include "musicplayback.h"
#include "scenelist.h"
#include "serverlatency.h"

#include <cstdio>
#include <limits>

Show::Show(std::unique_ptr<MusicPlayback> playback, bool withSound, bool onBeats)
    : music(std::move(playback)),
      sequence(createScenes()),
      clock(std::make_unique<MusicClock>(musicBytesPerSecond)),
      soundWanted(withSound)
{
    if (onBeats)
        beats = std::make_unique<BeatFinder>(music->music());
    musicWatch.setInterval(50);
    connect(&musicWatch, &QTimer::timeout, this, [this] { followMusic(monotonicNowNs()); });
}

Show::Show(const QList<Instruction *> &scenes)
    : sequence(scenes), clock(std::make_unique<MusicClock>(musicBytesPerSecond))
{ }

Show::~Show() = default;

void Show::start()
{
    if (!music || clockStarted)
        return;
    clockStarted = true;
    if (soundWanted) {
        // SDL hands the device silence of its own until it is unpaused, which its requests do
        // not show: the device is taken to hold at least what devices were measured to hold.
        // The clock holds until a device, opened on the playback's own thread, plays.
        clock->setLeastQueueNs(leastDeviceQueueNs);
        clock->setUnreportedNs(libraryUnreportedNs());
        clock->start(monotonicNowNs());
        music->start();
        serverLatency = std::make_unique<ServerLatency>();
    } else {
        silenceReported = true;
        clock->startSilent(monotonicNowNs());
    }
    followMusic(monotonicNowNs());
    musicWatch.start();
}

void Show::followDevice(qint64 nowNs)
{
    QString reason;
    for (MusicPlayback::News news;
         (news = music->takeNews(&reason)) != MusicPlayback::News::None;) {
        if (news == MusicPlayback::News::Opened) {
            // A device opened, at the start or anew, plays the music from where the show is.
            const qint64 fromNs = clock->heardAt(nowNs);
            clock->restart(nowNs, fromNs);
            music->playFrom(clock->musicBytes(fromNs));
            continue;
        }
        clock->loseSound(nowNs);
        if (!silenceReported)
            std::fprintf(stderr, "mincer: no sound is playing (%s); the show goes on without it\n",
                         qPrintable(reason));
        silenceReported = true;
    }
}

void Show::followMusic(qint64 nowNs)
{
    if (!music)
        return;
    followDevice(nowNs);
    music->takeRequests([this](qint64 timeNs, qint64 bytes, qint64 musicBytes) {
        clock->bufferRequested(timeNs, bytes, musicBytes);
    });
    if (serverLatency)
        serverLatency->takeNew([this](const ServerLatency::Report &report) {
            clock->serverLatencyReported(report.timeNs, report.latencyNs, report.sink,
                                         report.sinkOnly);
        });
    const MusicBuffer &loaded = music->music();
    if (music->loops() && !loopFollowed) {
        sequence.setPassLength(clock->musicNs(loaded.lengthBytes()));
        loopFollowed = true;
    } else if (!music->loops() && loaded.hasEnded()) {
        clock->setMusicLength(loaded.lengthBytes());
    }
    if (beats && beats->handedOver() != beatsTaken) {
        beatsTaken = beats->handedOver();
        qint64 knownUntilNs = 0;
        std::vector<qint64> found = beats->beats(&knownUntilNs);
        sequence.setBeats(std::move(found), knownUntilNs);
    }
    if (loaded.hasFailed() && !loadReported) {
        QString error = loaded.errorString();
        if (error.endsWith(QLatin1Char('.')))
            error.chop(1);
        std::fprintf(stderr, "mincer: %s; the show ends there, at %s\n", qPrintable(error),
                     qPrintable(musicTime(loaded.lengthBytes())));
        loadReported = true;
    }
    const bool finished = clock->finishedAt(nowNs);
    if (clock->soundLost() && !silenceReported) {
        std::fprintf(stderr,
                     "mincer: no sound is playing (the sound device has not asked for music for "
                     "%lld s); the show goes on without it\n",
                     MusicClock::waitLimitNs / 1'000'000'000);
        silenceReported = true;
    } else if (clock->soundPlaying() && silenceReported) {
        std::fprintf(stderr, "mincer: the sound plays again\n");
        silenceReported = false;
    }
    // Without sound the show moves a pipe on as if it played.
    if (clock->soundLost())
        music->passedTo(clock->musicBytes(clock->heardAt(nowNs)));
    if (finished)
        quit();
}

void Show::quit()
{
    // Music found damaged once the show had started ends it with the status of music refused.
    emit ended(loadReported ? 1 : 0);
}

qint64 Show::musicAt(qint64 shownAtNs)
{
    if (!clockStarted) {
        // Without music, the scene clock is the monotonic clock from the first frame.
        clock->startSilent(shownAtNs);
        clockStarted = true;
    }
    followMusic(monotonicNowNs());
    return clock->heardAt(shownAtNs);
}

SceneSequence::Frame Show::frameShownAt(qint64 shownAtNs)
{
    return sequence.at(musicAt(shownAtNs));
}

void Show::setAllBeats(std::vector<qint64> beatsNs)
{
    sequence.setBeats(std::move(beatsNs), std::numeric_limits<qint64>::max());
}

void Show::seek(int deltaMs)
{
    sequence.seek(musicAt(monotonicNowNs()), deltaMs);
}
