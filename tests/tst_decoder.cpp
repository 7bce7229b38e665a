// Decodes songs made at test time, in each format the show takes, and compares them with the
// reference decode; and checks that damaged songs give an error that names them, never noise.

#include "musicdecoder.h"
#include "songreference.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

class TestDecoder : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void decodesLikeTheReference_data();
    void decodesLikeTheReference();
    void damagedSongsStopWithAnError_data();
    void damagedSongsStopWithAnError();

private:
    QString path(const QString &name) const { return folder.filePath(name); }
    QTemporaryDir folder;
};

// Decodes a whole song, in pieces of a size that is no multiple of the decoder's. Returns -1 on an
// error, else 0.
static int decodeAll(MusicDecoder &decoder, QByteArray *sound)
{
    char piece[10000];
    qint64 got;
    while ((got = decoder.read(piece, sizeof piece)) > 0)
        sound->append(piece, int(got));
    return int(got);
}

// The test songs: each made by ffmpeg from a source with options, and how closely it must match
// the reference decode.
struct Song
{
    const char *name, *source;
    QStringList options;
    double minSnrDb;
};
static const double exact = std::numeric_limits<double>::infinity();
static const Song songs[] = {
    {"song.wav", "stereo.wav", {}, exact},
    {"song.flac", "stereo.wav", {}, exact},
    {"mono.wav", "mono-source.wav", {}, exact},
    {"song48.flac", "stereo.wav", {"-ar", "48000"}, songMatchSnrDb},
    {"song.ogg", "stereo.wav", {"-c:a", "libvorbis"}, songMatchSnrDb},
    {"song.mp3", "stereo.wav", {}, songMatchSnrDb},
    // Below full scale: sox clips the reference's float sound before resampling it from 48 kHz,
    // where the decoder clips after.
    {"song.opus", "stereo.wav", {"-af", "volume=0.7"}, songMatchSnrDb},
};

void TestDecoder::initTestCase()
{
    QVERIFY(folder.isValid());
    // Sweeps just below full scale, another on each channel, that lossy codecs carry past it.
    QVERIFY(runTool("sox",
                    {"-V1", "-n", "-r", "44100", "-b", "16", path("stereo.wav"), "synth", "3",
                     "sine", "100-6000", "sine", "300-9000", "gain", "-0.2"}));
    QVERIFY(runTool("sox", {"-V1", path("stereo.wav"), path("mono-source.wav"), "remix", "1"}));
    for (const Song &song : songs)
        QVERIFY2(makeSong(path(song.source), path(song.name), song.options), song.name);
}

void TestDecoder::decodesLikeTheReference_data()
{
    QTest::addColumn<QString>("song");
    QTest::addColumn<double>("minSnrDb");
    for (const Song &song : songs)
        QTest::newRow(song.name) << QString(song.name) << song.minSnrDb;
}

void TestDecoder::decodesLikeTheReference()
{
    QFETCH(QString, song);
    QFETCH(double, minSnrDb);
    const QByteArray reference = referenceDecode(path(song));
    QVERIFY(!reference.isEmpty());

    MusicDecoder decoder;
    QString error;
    QVERIFY2(decoder.open(path(song), &error), qPrintable(error));
    QByteArray sound;
    QCOMPARE(decodeAll(decoder, &sound), 0);
    QCOMPARE(sound.size(), reference.size());
    QVERIFY(decoder.expectedBytes() == -1 || decoder.expectedBytes() >= sound.size());
    const double snr = snrDb(sound, reference);
    QVERIFY2(snr >= minSnrDb, qPrintable(QString("%1 dB").arg(snr)));
}

void TestDecoder::damagedSongsStopWithAnError_data()
{
    QTest::addColumn<QString>("intact"); // one of the test songs
    QTest::addColumn<QString>("damage");
    QTest::addColumn<bool>("opens");
    QTest::newRow("text named .flac") << "song.flac"
                                      << "text" << false;
    QTest::newRow("empty mp3") << "song.mp3"
                               << "empty" << false;
    QTest::newRow("truncated mp3") << "song.mp3"
                                   << "truncate" << true;
    QTest::newRow("truncated wav") << "song.wav"
                                   << "truncate" << true;
    QTest::newRow("flac corrupt mid-song") << "song.flac"
                                           << "corrupt" << true;
}

void TestDecoder::damagedSongsStopWithAnError()
{
    QFETCH(QString, intact);
    QFETCH(QString, damage);
    QFETCH(bool, opens);
    QFile intactFile(path(intact));
    QVERIFY(intactFile.open(QIODevice::ReadOnly));
    QByteArray bytes = intactFile.readAll();
    if (damage == "text")
        bytes = "This is no song.\n";
    else if (damage == "empty")
        bytes.clear();
    else if (damage == "truncate")
        bytes.truncate(bytes.size() / 2);
    else
        for (int i = bytes.size() / 2; i < bytes.size() / 2 + 2000; ++i)
            bytes[i] = char(bytes[i] ^ 0x5a);
    const QString damaged = path(damage + "." + intact);
    QFile file(damaged);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
    file.close();

    MusicDecoder decoder;
    QString error;
    QCOMPARE(decoder.open(damaged, &error), opens);
    QByteArray sound;
    if (opens) {
        QCOMPARE(decodeAll(decoder, &sound), -1);
        error = decoder.errorString();
        // What plays up to the damage is the song itself.
        const QByteArray reference = referenceDecode(path(intact));
        QVERIFY(sound.size() > 0 && sound.size() < reference.size());
        QVERIFY(snrDb(sound, reference, sound.size()) >= songMatchSnrDb);
    }
    QVERIFY2(error.startsWith(damaged + ": "), qPrintable(error));
}

QTEST_GUILESS_MAIN(TestDecoder)
#include "tst_decoder.moc"
