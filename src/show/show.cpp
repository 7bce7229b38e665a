#include "show.h"

#include "beatfinder.h"
#include "instruction.h"
#include "listener.h"
#include "musicbuffer.h"
#include "musicclock.h"
#include "musicplayback.h"
#include "scenelist.h"
#include "serverlatency.h"
#include "songfile.h"
#include "songqueue.h"

#include <QFileInfo>

#include <cstdio>
#include <limits>

Show::Show(std::unique_ptr<SongFile> first, Playlist list, bool withSound, bool loop,
           bool ownTiming)
    : sequence(createScenes()),
      clock(std::make_unique<MusicClock>(musicBytesPerSecond)),
      soundWanted(withSound)
{
    // A single song loops in the playback, without a gap; a list starts over by itself.
    const bool loopSong = loop && list.songs().size() <= 1;
    music = std::make_unique<MusicPlayback>(first->takeMusic(), loopSong);
    songs = std::make_unique<SongQueue>(*music, std::move(first), std::move(list), ownTiming);
    musicWatch.setInterval(50);
    connect(&musicWatch, &QTimer::timeout, this, [this] { followMusic(monotonicNowNs()); });
}

Show::Show(const QList<Instruction *> &scenes)
    : sequence(scenes), clock(std::make_unique<MusicClock>(musicBytesPerSecond))
{ }

Show::Show(std::unique_ptr<Listener> listening)
    : listener(std::move(listening)),
      sequence(createScenes()),
      clock(std::make_unique<MusicClock>(musicBytesPerSecond))
{
    for (const Instruction *scene : sequence.scenes())
        passNs += qint64(scene->lengthMs()) * 1'000'000;
    musicWatch.setInterval(50);
    connect(&musicWatch, &QTimer::timeout, this, [this] { musicAt(monotonicNowNs()); });
}

Show::~Show() = default;

void Show::start()
{
    if (listener && !clockStarted) {
        // The show's time is the time things are heard: the beats are told in it.
        clockStartNs = monotonicNowNs();
        clock->startSilent(clockStartNs);
        clockStarted = true;
        musicWatch.start();
    }
    if (!music || clockStarted)
        return;
    clockStarted = true;
    announce(songs->playing());
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
    songs->follow();
    followPlayingSong(nowNs);
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
    // Without sound the show moves a pipe on as if it played, and the songs one after the other.
    if (clock->soundLost() || !soundWanted) {
        const qint64 heardBytes = clock->musicBytes(clock->heardAt(nowNs));
        music->passedTo(heardBytes);
        const SongQueue::Song &playing = songs->playing();
        const MusicBuffer &loaded = music->music();
        if (loaded.hasEnded() && heardBytes >= playing.startBytes + loaded.lengthBytes())
            music->skip(playing.startBytes + loaded.lengthBytes());
    }
    if (finished)
        quit();
}

void Show::followPlayingSong(qint64 nowNs)
{
    Q_UNUSED(nowNs)
    SongQueue::Song &playing = songs->playing();
    const MusicBuffer &loaded = music->music();
    if (music->loops() && !loopFollowed) {
        sequence.setPassLength(clock->musicNs(loaded.lengthBytes()));
        loopFollowed = true;
    } else if (!music->loops() && songs->playingIsLast() && loaded.hasEnded()) {
        clock->setMusicLength(playing.startBytes + loaded.lengthBytes());
    }
    if (loaded.hasFailed() && !playing.damageReported) {
        QString error = loaded.errorString();
        if (error.endsWith(QLatin1Char('.')))
            error.chop(1);
        // One song of several ends there and the next one plays; a single one ends the show.
        const bool single = songs->songCount() <= 1;
        std::fprintf(stderr, "mincer: %s; %s there, at %s\n", qPrintable(error),
                     single ? "the show ends" : "the song ends",
                     qPrintable(musicTime(loaded.lengthBytes())));
        playing.damageReported = true;
        loadReported = loadReported || single;
    }
}

void Show::followSongs(qint64 musicNs)
{
    if (!songs)
        return;
    SongQueue::Song &heard = songs->heardAt(clock->musicBytes(musicNs));
    if (heard.startBytes != songStartBytes) {
        songStartBytes = heard.startBytes;
        startScenesOver(clock->musicNs(heard.startBytes));
        announce(heard);
    }
    beats = heard.beats.get();
    if (beats && beats->handedOver() != beatsTaken) {
        beatsTaken = beats->handedOver();
        qint64 knownUntilNs = 0;
        std::vector<qint64> found = beats->beats(&knownUntilNs);
        sequence.setBeats(std::move(found), knownUntilNs);
    }
}

void Show::announce(const SongQueue::Song &song) const
{
    if (songs->songCount() > 1)
        std::fprintf(stderr, "mincer: playing %d/%d: %s\n", song.number, songs->songCount(),
                     qPrintable(QFileInfo(song.name).fileName()));
}

void Show::startScenesOver(qint64 fromNs)
{
    originNs = fromNs;
    sequence = SceneSequence(sequence.scenes());
    beatsTaken = 0;
}

void Show::nextSong()
{
    if (songs)
        songs->next(clock->musicBytes(musicAt(monotonicNowNs())));
}

void Show::previousSong()
{
    if (songs)
        songs->previous(clock->musicBytes(musicAt(monotonicNowNs())));
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
        clockStartNs = shownAtNs;
        clockStarted = true;
    }
    followMusic(monotonicNowNs());
    const qint64 musicNs = clock->heardAt(shownAtNs);
    followSongs(musicNs);
    followListener(musicNs);
    return musicNs;
}

void Show::followListener(qint64 musicNs)
{
    if (!listener)
        return;
    if (musicNs >= originNs + passNs)
        startScenesOver(originNs + (musicNs - originNs) / passNs * passNs);
    if (const QString why = listener->failure(); !why.isEmpty() && !silenceReported) {
        std::fprintf(stderr, "mincer: %s; the show goes on at its own pace\n", qPrintable(why));
        silenceReported = true;
    }
    listener->followSinkDelay();
    // The coming beats, and those of the last seconds for the moments being shown. The moments
    // beyond the last beat foretold wait for more, at the show's own pace meanwhile.
    constexpr qint64 recentNs = 2'000'000'000;
    constexpr int comingBeats = 24;
    const qint64 passStartHeardNs = clockStartNs + originNs;
    std::vector<qint64> beatsNs;
    for (const qint64 heardNs :
         listener->beatsAfter(passStartHeardNs + musicNs - originNs - recentNs, comingBeats)) {
        if (heardNs >= passStartHeardNs)
            beatsNs.push_back(heardNs - passStartHeardNs);
    }
    const qint64 knownUntilNs = beatsNs.empty() ? musicNs - originNs : beatsNs.back();
    sequence.setBeats(std::move(beatsNs), knownUntilNs);
}

SceneSequence::Frame Show::frameShownAt(qint64 shownAtNs)
{
    const qint64 musicNs = musicAt(shownAtNs); // may start a new pass
    return sequence.at(musicNs - originNs);
}

void Show::setAllBeats(std::vector<qint64> beatsNs)
{
    sequence.setBeats(std::move(beatsNs), std::numeric_limits<qint64>::max());
}

void Show::seek(int deltaMs)
{
    const qint64 musicNs = musicAt(monotonicNowNs());
    sequence.seek(musicNs - originNs, deltaMs);
}
