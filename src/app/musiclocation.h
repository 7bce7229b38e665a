#ifndef MUSICLOCATION_H
#define MUSICLOCATION_H

#include <QString>
#include <QStringList>

// Where the music is looked for when none is named, in this order: "music.raw" in the current
// folder, the installed music (share/mincer/music.raw beside the program's bin folder), and the
// build folder's when the program runs from it.
QStringList musicPlaces();

// The music to play: `given` when it is not empty, else the first of musicPlaces() that exists.
// Empty, with one line naming each place tried and how to name a file, when none exists.
QString findMusic(const QString &given, const QString &program, QString *error);

#endif // MUSICLOCATION_H
