#ifndef SONGFILE_H
#define SONGFILE_H

#include <QElapsedTimer>
#include <QString>

#include <memory>

class MusicBuffer;

// A song of the show, opened and loading into memory; refused, with one line saying why, when it
// cannot be played.
class SongFile
{
public:
    // Opens `path` ("-": standard input) and starts loading it; null, with the reason in `error`,
    // when it cannot be played: missing, no song, longer than the show holds or than memory takes.
    // With `ownTiming` its scenes keep their own timing; so do those of headerless music. A pipe is
    // waited for until it gives its first sound or ends.
    static std::unique_ptr<SongFile> open(const QString &path, bool ownTiming, QString *error);
    // A loader that waits for a pipe which gives nothing is not waited for.
    ~SongFile();

    // How the song is named in messages.
    const QString &name() const { return songName; }
    // Whether it can be played only once (a pipe).
    bool isPipe() const { return pipe; }
    // Whether the scenes follow its beats: a song kept whole, not its own timing.
    bool followsBeats() const { return onBeats; }

    // Waits as long as the music may take before the show starts: until it is read whole, for a
    // short while after it was opened (so that a short song that cannot be decoded is refused
    // before the show), and until half a second of it is loaded. False, with the reason in
    // `error`, when there is nothing to play.
    bool waitUntilReady(QString *error);
    // Whether there is nothing to play, as far as is known now; if so, says why in `error`.
    bool refused(QString *error) const;

    // The music, for the playback to own.
    std::unique_ptr<MusicBuffer> takeMusic();

private:
    SongFile() = default;

    std::unique_ptr<MusicBuffer> music;
    QString songName;
    bool pipe = false;
    bool onBeats = false;
    QElapsedTimer loading;
};

#endif // SONGFILE_H
