#ifndef PLAYLIST_H
#define PLAYLIST_H

#include <QString>
#include <QStringList>

#include <random>
#include <vector>

// The songs named on the command line, played one after the other: a file as it is named ("-",
// standard input, too), a folder for its songs (files with a song's suffix, its subfolders' too)
// in name order. Shuffled, each pass in an order of its own; looped, the list starts over at its
// end. A song that cannot be read is skipped from then on.
class Playlist
{
public:
    // `seed`: the shuffle's, so that an order can be had again.
    Playlist(const QStringList &paths, bool shuffle, bool loop,
             quint32 seed = std::random_device()());

    // The songs, each once, in the order named.
    const QStringList &songs() const { return names; }
    // The song playing, and its number in this pass (1 to songs().size()); none while empty.
    QString current() const;
    int number() const { return position + 1; }

    // To the next song not known to fail. False at the end of the list (looped: only when every
    // song has failed), the current song left as it was.
    bool next();
    // To the song before. False at the start of the list, unless looped (then to its last).
    bool previous();
    // The current song cannot be read: skipped from now on.
    void failed();
    // Whether no song of the list can play: every one has failed, or there is none.
    bool noneCanPlay() const;

    // What a folder's songs end in (any case).
    static const QStringList songSuffixes;

private:
    void addFolder(const QString &path, QStringList *seen);
    void newOrder();
    bool step(int by);

    QStringList names;
    std::vector<bool> failing; // by song
    std::vector<int> order; // this pass's songs, by their index in `names`
    int position = 0;
    bool shuffled, looped;
    std::mt19937 random;
};

#endif // PLAYLIST_H
