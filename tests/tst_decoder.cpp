// Decodes songs made at test time, in each format the show takes, intact and damaged, and compares
// what they give with the reference decode.

#include "musicdecoder.h"
#include "songreference.h"

#include <QTemporaryDir>
#include <QtTest>

class TestDecoder : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void decodesLikeTheReference_data();
    void decodesLikeTheReference();

private:
    QString path(const QString &name) const { return folder.filePath(name); }
    QTemporaryDir folder;
};

void TestDecoder::initTestCase()
{
    // A sweep just below full scale on each channel, which lossy codecs carry past it.
    QVERIFY(runTool("sox",
                    {"-V1", "-n", "-r", "44100", "-b", "16", path("stereo.wav"), "synth", "3",
                     "sine", "100-6000", "sine", "300-9000", "gain", "-0.2"}));
}

void TestDecoder::decodesLikeTheReference_data()
{
    QTest::addColumn<QString>("song");
    QTest::addColumn<QStringList>("options"); // ffmpeg's, for making it from stereo.wav
    QTest::addColumn<QString>("damage");
    QTest::addColumn<double>("minSnrDb");
    const QStringList none;
    const double exact = INFINITY;
    QTest::newRow("wav") << "song.wav" << none << "" << exact;
    QTest::newRow("flac") << "song.flac" << none << "" << exact;
    QTest::newRow("mono wav") << "mono.wav" << QStringList {"-ac", "1"} << "" << exact;
    QTest::newRow("flac 48 kHz") << "song48.flac" << QStringList {"-ar", "48000"} << ""
                                 << songMatchSnrDb;
    QTest::newRow("ogg vorbis") << "song.ogg" << QStringList {"-c:a", "libvorbis"} << ""
                                << songMatchSnrDb;
    QTest::newRow("mp3") << "song.mp3" << none << "" << songMatchSnrDb;
    // Below full scale: sox clips the reference's float sound before resampling it from 48 kHz,
    // the decoder after.
    QTest::newRow("opus") << "song.opus" << QStringList {"-af", "volume=0.7"} << ""
                          << songMatchSnrDb;
    // Damaged songs give an error naming them, and what plays up to the damage is the song.
    QTest::newRow("text named .flac") << "text.flac" << none << "text" << exact;
    QTest::newRow("empty mp3") << "empty.mp3" << none << "empty" << exact;
    QTest::newRow("truncated mp3") << "truncated.mp3" << none << "truncate" << songMatchSnrDb;
    QTest::newRow("truncated wav") << "truncated.wav" << none << "truncate" << exact;
    QTest::newRow("flac corrupt mid-song") << "corrupt.flac" << none << "corrupt" << exact;
}

void TestDecoder::decodesLikeTheReference()
{
    QFETCH(QString, song);
    QFETCH(QStringList, options);
    QFETCH(QString, damage);
    QFETCH(double, minSnrDb);
    QVERIFY(makeSong(path("stereo.wav"), path(song), options));
    const QByteArray reference = referenceDecode(path(song));
    QFile file(path(song));
    QVERIFY(file.open(QIODevice::ReadWrite));
    QByteArray bytes = file.readAll();
    if (damage == "text")
        bytes = "This is no song.\n";
    else if (damage == "empty" || damage == "truncate")
        bytes.truncate(damage == "empty" ? 0 : bytes.size() / 2);
    for (int i = bytes.size() / 2; damage == "corrupt" && i < bytes.size() / 2 + 2000; ++i)
        bytes[i] = char(bytes[i] ^ 0x5a);
    QVERIFY(file.resize(0) && file.seek(0) && file.write(bytes) == bytes.size());
    file.close();

    MusicDecoder decoder;
    QString error;
    const bool opens = damage != "text" && damage != "empty";
    QCOMPARE(decoder.open(path(song), &error), opens);
    QByteArray sound;
    qint64 got = opens ? 0 : -1;
    char piece[10000]; // no multiple of the decoder's pieces
    while (opens && (got = decoder.read(piece, sizeof piece)) > 0)
        sound.append(piece, int(got));
    QCOMPARE(got, damage.isEmpty() ? qint64(0) : qint64(-1));
    QVERIFY(decoder.expectedBytes() == -1 || decoder.expectedBytes() >= sound.size());
    QCOMPARE(sound.size() == reference.size(), damage.isEmpty());
    QVERIFY(!opens || (!sound.isEmpty() && snrDb(sound, reference, sound.size()) >= minSnrDb));
    error += decoder.errorString();
    QVERIFY2(damage.isEmpty() ? error.isEmpty() : error.startsWith(path(song) + ": "),
             qPrintable(error));
}

QTEST_GUILESS_MAIN(TestDecoder)
#include "tst_decoder.moc"
