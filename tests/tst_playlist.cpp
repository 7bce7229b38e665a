// The playlist over files and folders made at test time: the order of its songs, next and
// previous at its ends, looped and not, songs that fail skipped, each song once a pass shuffled.

#include "playlist.h"

#include <QtTest>

class TestPlaylist : public QObject
{
    Q_OBJECT

private slots:
    void plays_data();
    void plays();
};

void TestPlaylist::plays_data()
{
    QTest::addColumn<QStringList>("paths");
    QTest::addColumn<bool>("shuffle");
    QTest::addColumn<bool>("loop");
    // n: next, p: previous, f: the current song fails. What plays after each step ("!": none
    // more, the current song kept), and whether none of the list can play at the end.
    QTest::addColumn<QString>("steps");
    QTest::addColumn<QString>("played");
    QTest::addColumn<bool>("noneCanPlay");

    const QStringList music {"x.wav", "music"};
    QTest::newRow("files, a folder's songs in name order")
        << music << false << false << "nnnn"
        << "x.wav 01 a.FLAC 02 b.mp3 sub/03 c.ogg sub/03 c.ogg!" << false;
    QTest::newRow("previous at the start") << music << false << false << "npp"
                                           << "x.wav 01 a.FLAC x.wav x.wav!" << false;
    QTest::newRow("looped, both ways")
        << QStringList {"x.wav", "gone.mp3"} << false << true << "nnpp"
        << "x.wav gone.mp3 x.wav gone.mp3 x.wav" << false;
    QTest::newRow("a song that failed skipped in the next pass")
        << QStringList {"x.wav", "gone.mp3", "music/02 b.mp3"} << false << true << "nfnnn"
        << "x.wav gone.mp3 gone.mp3 02 b.mp3 x.wav 02 b.mp3" << false;
    QTest::newRow("none can play")
        << QStringList {"gone.mp3", "music/cover.jpg"} << false << true << "fnfn"
        << "gone.mp3 gone.mp3 cover.jpg cover.jpg cover.jpg!" << true;
    QTest::newRow("an empty folder") << QStringList {"empty"} << false << true << "n"
                                     << " !" << true;
    QTest::newRow("shuffled, each song once a pass") << music << true << true << "nnnnnnn"
                                                     << "" << false;
}

void TestPlaylist::plays()
{
    QFETCH(QStringList, paths);
    QFETCH(bool, shuffle);
    QFETCH(bool, loop);
    QFETCH(QString, steps);
    QFETCH(QString, played);
    QFETCH(bool, noneCanPlay);
    QTemporaryDir folder;
    QDir(folder.path()).mkpath("music/sub");
    QDir(folder.path()).mkpath("empty");
    for (const char *file : {"x.wav", "music/02 b.mp3", "music/01 a.FLAC", "music/cover.jpg",
                             "music/.hidden.mp3", "music/sub/03 c.ogg"})
        QVERIFY(QFile(folder.filePath(file)).open(QIODevice::WriteOnly));
    QDir::setCurrent(folder.path());
    Playlist playlist(paths, shuffle, loop, 1);
    const auto name = [&] { return playlist.current().remove(QRegularExpression("^music/")); };
    QStringList seen {name()};
    for (const QChar step : steps) {
        if (step == 'f')
            playlist.failed();
        const bool moved = step == 'n' ? playlist.next() : step == 'p' ? playlist.previous() : true;
        seen.append(name() + (moved ? "" : "!"));
    }
    QCOMPARE(playlist.noneCanPlay(), noneCanPlay);
    if (!shuffle)
        QCOMPARE(seen.join(' '), played);
    for (int pass = 0; shuffle && pass < 2; ++pass) {
        QStringList songs = seen.mid(pass * 4, 4);
        songs.sort();
        QCOMPARE(songs.join(' '), QString("01 a.FLAC 02 b.mp3 sub/03 c.ogg x.wav"));
    }
}

QTEST_GUILESS_MAIN(TestPlaylist)
#include "tst_playlist.moc"
