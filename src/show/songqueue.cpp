#include "songqueue.h"

#include "beatfinder.h"
#include "musicbuffer.h"
#include "musicplayback.h"
#include "songfile.h"

#include <cstdio>

SongQueue::SongQueue(MusicPlayback &player, std::unique_ptr<SongFile> first, Playlist songList,
                     bool ownBeat)
    : playback(player), list(std::move(songList)), ownTiming(ownBeat)
{
    Song song;
    song.name = first->name();
    song.number = list.number();
    song.music = &playback.music();
    if (first->followsBeats())
        song.beats = std::make_unique<BeatFinder>(playback.music());
    song.startBytes = 0;
    songs.push_back(std::move(song));
}

// The beats found go before the music they were found in.
SongQueue::~SongQueue()
{
    for (Song &song : songs)
        song.beats.reset();
}

int SongQueue::queuedCount() const
{
    int count = 0;
    for (const Song &song : songs)
        count += song.startBytes < 0;
    return count;
}

void SongQueue::letGo(std::unique_ptr<MusicBuffer> music)
{
    for (Song &song : songs) {
        if (song.music == music.get()) {
            song.beats.reset();
            song.music = nullptr;
        }
    }
    MusicBuffer::release(std::move(music), 200);
}

void SongQueue::follow()
{
    while (std::unique_ptr<MusicBuffer> done = playback.takeFinished())
        letGo(std::move(done));
    if (const quint64 starts = playback.songsStarted(); starts != startsSeen) {
        startsSeen = starts;
        for (Song &song : songs) {
            if (song.startBytes < 0) {
                song.startBytes = playback.latestSongStartBytes();
                break;
            }
        }
    }
    if (!playback.loops() && queuedCount() == 0 && !listEnded)
        queueNext();
}

bool SongQueue::queueCurrent()
{
    QString error;
    std::unique_ptr<SongFile> file = SongFile::open(list.current(), ownTiming, &error);
    if (!file || file->refused(&error)) {
        std::fprintf(stderr, "mincer: %s; passed over\n", qPrintable(error));
        list.failed();
        return false;
    }
    Song song;
    song.name = file->name();
    song.number = list.number();
    std::unique_ptr<MusicBuffer> music = file->takeMusic();
    song.music = music.get();
    if (file->followsBeats())
        song.beats = std::make_unique<BeatFinder>(*music);
    songs.push_back(std::move(song));
    if (std::unique_ptr<MusicBuffer> before = playback.queue(std::move(music))) {
        // The song queued before it, which had not started.
        letGo(std::move(before));
        for (auto song = songs.begin(); song != songs.end(); ++song) {
            if (song->startBytes < 0 && song->music == nullptr) {
                songs.erase(song);
                break;
            }
        }
    }
    return true;
}

void SongQueue::queueNext()
{
    while (list.next()) {
        if (queueCurrent())
            return;
    }
    listEnded = true;
}

SongQueue::Song &SongQueue::heardAt(qint64 position)
{
    while (songs.size() > 1 && songs[1].startBytes >= 0 && songs[1].startBytes <= position)
        songs.pop_front();
    return songs.front();
}

SongQueue::Song &SongQueue::playing()
{
    for (auto song = songs.rbegin(); song != songs.rend(); ++song) {
        if (song->startBytes >= 0)
            return *song;
    }
    return songs.front();
}

bool SongQueue::next(qint64 position)
{
    if (queuedCount() == 0)
        return false;
    playback.skip(position);
    return true;
}

bool SongQueue::previous(qint64 position)
{
    // The list stands at the latest song opened: back past the songs after the one heard, to the
    // one before it.
    const Playlist before = list;
    for (size_t step = 0; step < songs.size(); ++step) {
        if (!list.previous()) {
            list = before;
            return false;
        }
    }
    if (!queueCurrent()) {
        list = before;
        return false;
    }
    listEnded = false;
    playback.skip(position);
    return true;
}
