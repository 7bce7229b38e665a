#ifndef SHOW_H
#define SHOW_H

#include "playlist.h"
#include "scenesequence.h"
#include "songqueue.h"

#include <QList>
#include <QObject>
#include <QTimer>

#include <memory>
#include <vector>

class BeatFinder;
class Instruction;
class Listener;
class MusicClock;
class MusicPlayback;
class ServerLatency;
class SongFile;

// The show: the scenes played one after the other at the music's position, the music streamed to
// the sound device, its beats, and the show's end. Whatever shows the show asks it which scene,
// at what scene time, to paint for a frame seen at a given moment; the music it follows is how far
// the sound has been heard (MusicClock). The show ends once the whole music has been heard, or
// when asked; it says so on stderr where the sound stops, comes back or the music is damaged.
class Show : public QObject
{
    Q_OBJECT

public:
    // The demo's show: plays `first` (its loading started), then the rest of `list` one song after
    // the other, each with the demo's scenes from their start; `loop` plays a single song over
    // and over (a list loops by itself). Without sound (`withSound` false, or no sound device to
    // be had) it runs on the monotonic clock and ends after the music's length. The scenes'
    // moments land on the beats of each song whose beats are followed, once found; with
    // `ownTiming` on none.
    Show(std::unique_ptr<SongFile> first, Playlist list, bool withSound, bool loop, bool ownTiming);
    // Plays the given scenes, silently, on the monotonic clock from the first frame asked for; it
    // does not end by itself. The scenes stay owned by the caller.
    explicit Show(const QList<Instruction *> &scenes);
    // Plays the demo's scenes to what `listener` hears (listening already), their moments on its
    // beats as they are heard, for the length of the demo's own music at a time (the scenes'
    // own) and over again, until it is quit. Without a beat the scenes keep their own timing.
    explicit Show(std::unique_ptr<Listener> listener);
    ~Show() override;

    const QList<Instruction *> &scenes() const { return sequence.scenes(); }
    // The scene at `index`, or null past the last one.
    Instruction *scene(int index) const { return sequence.scene(index); }
    // Which scene runs when, as the show plays it.
    const SceneSequence &sceneSequence() const { return sequence; }

    // Starts the music. Call once whatever shows the show is ready to paint.
    void start();

    // The scene and its time to paint for a frame that will be seen at `shownAtNs` (monotonic
    // clock). A silent show of scenes starts at the first frame asked for.
    SceneSequence::Frame frameShownAt(qint64 shownAtNs);
    // Offline, for a music decoded ahead (no device, no clock): the music's beats, all of them,
    // and the frame at music position `musicNs`, asked in order.
    void setAllBeats(std::vector<qint64> beatsNs);
    SceneSequence::Frame frameAtMusic(qint64 musicNs) { return sequence.at(musicNs); }

    // Shifts the running scene's time by `deltaMs` (the arrow keys); the music plays on.
    void seek(int deltaMs);
    // The next song of the list, or the one before the song heard, now.
    void nextSong();
    void previousSong();
    // Ends the show now (Escape).
    void quit();

signals:
    // The show has ended, with the program's exit status: 0, or 1 where the music was found
    // damaged once it had started.
    void ended(int exitStatus);

private:
    // Takes in what the audio callback noted, says so when the sound stops or comes back or the
    // music could not be read to its end, and ends the show once the music has been heard.
    void followMusic(qint64 nowNs);
    // Starts a sound device that opened where the show is, and runs on without one that was lost
    // or could not be opened.
    void followDevice(qint64 nowNs);
    // The music's position (ns) for a frame shown at `shownAtNs`: what the scene times follow.
    qint64 musicAt(qint64 shownAtNs);
    // Listening: starts the scenes over at the end of each pass, takes in the beats heard and says
    // when listening stopped.
    void followListener(qint64 musicNs);
    // Songs: starts the scenes over for each song as it is heard, with its beats.
    void followSongs(qint64 musicNs);
    // Takes in the playing song's length, damage and end.
    void followPlayingSong(qint64 nowNs);
    // Starts the scenes over at music position `fromNs`.
    void startScenesOver(qint64 fromNs);
    // Says which song of the list plays.
    void announce(const SongQueue::Song &song) const;

    std::unique_ptr<MusicPlayback> music; // none in a show of scenes alone
    std::unique_ptr<SongQueue> songs; // what the music plays, song after song
    std::unique_ptr<Listener> listener; // a show of what the computer plays
    SceneSequence sequence;
    qint64 originNs = 0; // the music position where the scenes last started: a song's start
    const BeatFinder *beats = nullptr; // the beats of the song heard, where they are followed
    int beatsTaken = 0; // the handovers of beats the sequence has taken
    qint64 songStartBytes = 0; // where the song heard started
    qint64 passNs = 0; // listening: how long the scenes play before they start over
    qint64 clockStartNs = 0; // the moment the music's position 0 was heard
    std::unique_ptr<MusicClock> clock;
    std::unique_ptr<ServerLatency> serverLatency; // what the sound server says it delays the music
    bool soundWanted = true;
    bool clockStarted = false;
    bool loopFollowed = false; // the sequence starts over with the music
    bool loadReported = false; // a music that could not be read to its end was said so
    bool silenceReported = false;
    QTimer musicWatch; // follows the music also while no frames are painted
};

#endif // SHOW_H
