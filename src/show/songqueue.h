#ifndef SONGQUEUE_H
#define SONGQUEUE_H

#include "playlist.h"

#include <QString>
#include <QtGlobal>

#include <deque>
#include <memory>

class BeatFinder;
class MusicBuffer;
class MusicPlayback;
class SongFile;

// The songs of a show played one after the other through one playback: while a song plays, the
// next one of the list is opened and queued behind it, its beats found meanwhile, so that it
// follows without a gap; a song that cannot be played is named on stderr and passed over. Each
// song's start is known, in bytes of the music played over all songs (as the clock counts them),
// once the playback has started it. Memory holds the song playing and the next one.
class SongQueue
{
public:
    // A song as the show plays it.
    struct Song
    {
        QString name;
        int number = 0; // in the list, from 1
        const MusicBuffer *music = nullptr; // while the playback holds it
        std::unique_ptr<BeatFinder> beats; // where its scenes follow its beats
        qint64 startBytes = -1; // where it starts (-1: not started yet)
        bool damageReported = false;
    };

    // Plays `first` (opened from `list`'s current song, or the demo's own music without a list)
    // and the rest of `list` after it. The first song starts at byte 0.
    SongQueue(MusicPlayback &playback, std::unique_ptr<SongFile> first, Playlist list,
              bool ownTiming);
    ~SongQueue();

    // GUI thread, often: takes in the songs the playback started and finished, and queues the
    // next one where none is.
    void follow();

    // The song heard at byte `position` of the music over all songs: the latest started by then.
    // The songs before it are let go. Positions are asked in order.
    Song &heardAt(qint64 position);
    // The song the playback plays (or played last), and whether no song comes after it.
    Song &playing();
    bool playingIsLast() const { return listEnded && queuedCount() == 0; }
    // The songs in the list.
    int songCount() const { return list.songs().size(); }

    // The next song, or the one before the song heard, starts now, where the show is at byte
    // `position`; false where there is none.
    bool next(qint64 position);
    bool previous(qint64 position);

private:
    // Opens the list's current song and queues it; false, having said why, when it cannot play.
    bool queueCurrent();
    // Opens and queues the next song of the list that can play, if any.
    void queueNext();
    // Deletes a song the playback gave back, after the beats found in it.
    void letGo(std::unique_ptr<MusicBuffer> music);
    int queuedCount() const;

    MusicPlayback &playback;
    Playlist list;
    const bool ownTiming;
    std::deque<Song> songs; // oldest first: the song heard, then those started or queued after it
    quint64 startsSeen = 0;
    bool listEnded = false; // the list has no song left to queue
};

#endif // SONGQUEUE_H
