#include "playlist.h"

#include <QCollator>
#include <QDir>
#include <QFileInfo>

#include <algorithm>
#include <numeric>

// The formats the show reads: libsndfile's common ones, MP3 and Opus among them, and headerless
// PCM in the show's format.
const QStringList Playlist::songSuffixes {"wav", "wave", "aif",  "aiff", "aifc", "flac",
                                          "ogg", "oga",  "opus", "mp3",  "au",   "snd",
                                          "caf", "w64",  "rf64", "raw"};

Playlist::Playlist(const QStringList &paths, bool shuffle, bool loop, quint32 seed)
    : shuffled(shuffle), looped(loop), random(seed)
{
    QStringList seen; // the folders read, so that a link back into one ends there
    for (const QString &path : paths) {
        if (path != QLatin1String("-") && QFileInfo(path).isDir())
            addFolder(path, &seen);
        else
            names.append(path);
    }
    failing.assign(size_t(names.size()), false);
    newOrder();
}

void Playlist::addFolder(const QString &path, QStringList *seen)
{
    const QString canonical = QFileInfo(path).canonicalFilePath();
    if (seen->contains(canonical))
        return;
    seen->append(canonical);
    QDir folder(path);
    QStringList entries = folder.entryList(QDir::Dirs | QDir::Files | QDir::NoDotAndDotDot);
    QCollator collator; // the user's language's name order, numbers by their value
    collator.setNumericMode(true);
    collator.setCaseSensitivity(Qt::CaseInsensitive);
    std::sort(entries.begin(), entries.end(), collator);
    for (const QString &entry : entries) {
        const QFileInfo info(folder.filePath(entry));
        if (info.isDir())
            addFolder(info.filePath(), seen);
        else if (songSuffixes.contains(info.suffix(), Qt::CaseInsensitive))
            names.append(info.filePath());
    }
}

void Playlist::newOrder()
{
    order.resize(size_t(names.size()));
    std::iota(order.begin(), order.end(), 0);
    if (shuffled)
        std::shuffle(order.begin(), order.end(), random);
    position = 0;
    // The first song of a pass: the first not known to fail.
    if (!order.empty() && failing[size_t(order[0])] && !step(1))
        position = 0;
}

QString Playlist::current() const
{
    return order.empty() ? QString() : names.at(order[size_t(position)]);
}

// Moves `by` (1 or -1) to the nearest song not known to fail in this pass.
bool Playlist::step(int by)
{
    for (int at = position + by; at >= 0 && at < int(order.size()); at += by) {
        if (!failing[size_t(order[size_t(at)])]) {
            position = at;
            return true;
        }
    }
    return false;
}

bool Playlist::next()
{
    if (step(1))
        return true;
    if (!looped || noneCanPlay())
        return false;
    newOrder();
    return true;
}

bool Playlist::previous()
{
    if (step(-1))
        return true;
    if (!looped || noneCanPlay())
        return false;
    position = int(order.size());
    return step(-1);
}

void Playlist::failed()
{
    if (!order.empty())
        failing[size_t(order[size_t(position)])] = true;
}

bool Playlist::noneCanPlay() const
{
    return std::all_of(failing.begin(), failing.end(), [](bool fails) { return fails; });
}
