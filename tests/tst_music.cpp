// Checks the rendered music.raw: its format and length, its level, that it marks the first
// scene's events, and that rendering the score again gives the same bytes.

#include "forest.h"
#include "scenelist.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <cmath>
#include <cstdlib>

static constexpr int framesPerSecond = 44100;
static constexpr int bytesPerFrame = 4; // two channels of signed 16-bit little-endian samples
static constexpr double fullScale = 32768.0;

class TestMusic : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void wholeFramesOfAboutSixtySevenSeconds();
    void peakBelowFullScale();
    void soundsThroughout_data();
    void soundsThroughout();
    void marksTheForestEvents_data();
    void marksTheForestEvents();
    void sameBytesWhenRenderedTwice();

private:
    qint16 sample(qint64 index) const;
    double rmsDb(double fromSeconds, double toSeconds) const;

    QByteArray music;
};

void TestMusic::initTestCase()
{
    QFile file(MINCER_MUSIC_RAW);
    QVERIFY2(file.open(QIODevice::ReadOnly),
             qPrintable(QString("%1 is missing: build the target 'music'").arg(file.fileName())));
    music = file.readAll();
}

// Sample `index` counting both channels, decoded as little-endian whatever the host.
qint16 TestMusic::sample(qint64 index) const
{
    const auto low = quint8(music.at(int(2 * index)));
    const auto high = quint8(music.at(int(2 * index + 1)));
    return qint16(quint16(low | (high << 8)));
}

// Loudness of both channels between two times, in dB relative to full scale.
double TestMusic::rmsDb(double fromSeconds, double toSeconds) const
{
    const qint64 totalFrames = music.size() / bytesPerFrame;
    const qint64 first = qBound<qint64>(0, qint64(fromSeconds * framesPerSecond), totalFrames);
    const qint64 last = qBound<qint64>(0, qint64(toSeconds * framesPerSecond), totalFrames);
    double sum = 0;
    for (qint64 i = 2 * first; i < 2 * last; ++i)
        sum += double(sample(i)) * sample(i);
    const qint64 count = 2 * (last - first);
    if (count == 0 || sum == 0)
        return -200;
    return 10 * std::log10(sum / count / (fullScale * fullScale));
}

void TestMusic::wholeFramesOfAboutSixtySevenSeconds()
{
    QCOMPARE(music.size() % bytesPerFrame, 0);
    const double seconds = double(music.size()) / bytesPerFrame / framesPerSecond;
    QVERIFY2(seconds > 66.0 && seconds < 68.0, qPrintable(QString("%1 s").arg(seconds)));
}

void TestMusic::peakBelowFullScale()
{
    int peak = 0;
    for (qint64 i = 0; i < music.size() / 2; ++i)
        peak = qMax(peak, std::abs(int(sample(i))));
    const double peakDb = 20 * std::log10(peak / fullScale);
    qInfo("peak %d (%.2f dBFS), loudness %.1f dBFS", peak, peakDb,
          rmsDb(0, double(music.size()) / bytesPerFrame / framesPerSecond));
    // Headroom: not merely below clipping but clearly below full scale.
    QVERIFY2(peakDb < -0.5, qPrintable(QString("peak at %1 dBFS").arg(peakDb)));
}

void TestMusic::soundsThroughout_data()
{
    QTest::addColumn<double>("from"); // s
    QTest::addColumn<double>("to"); // s

    Forest forest;
    const double hop = findEvent({&forest}, "hop").timeMs / 1000.0;
    const double spin = findEvent({&forest}, "spin").timeMs / 1000.0;
    const double end = forest.endTime() / 1000.0;
    QTest::newRow("dusk") << 0.0 << 4.0;
    QTest::newRow("theme") << 4.0 << hop;
    QTest::newRow("hop and rises") << hop << spin;
    QTest::newRow("spin") << spin << end - 1.0;
    // The grinder's captions change every 5 s from the forest's end on.
    for (int caption = 0; caption < 7; ++caption) {
        const double start = end + 5.0 * caption;
        QTest::addRow("grinder caption %d", caption) << start << start + 5.0;
    }
}

// Every stretch of the piece plays music, the last caption's as much as the first.
void TestMusic::soundsThroughout()
{
    QFETCH(double, from);
    QFETCH(double, to);
    const double loudness = rmsDb(from, to);
    QVERIFY2(loudness > -35, qPrintable(QString("%1 dBFS").arg(loudness)));
}

void TestMusic::marksTheForestEvents_data()
{
    QTest::addColumn<double>("before"); // s, start of the 250 ms before the event
    QTest::addColumn<double>("after"); // s, start of the 250 ms after it
    QTest::addColumn<double>("changeDb"); // at least this much louder (or quieter, if negative)

    Forest forest;
    const auto at = [&](const char *name) { return findEvent({&forest}, name).timeMs / 1000.0; };
    QTest::newRow("hop") << at("hop") - 0.25 << at("hop") << 4.0;
    QTest::newRow("first rise") << at("first rise") - 0.25 << at("first rise") << 4.0;
    QTest::newRow("second rise") << at("second rise") - 0.25 << at("second rise") << 3.0;
    // The band stops for the fade a second before the forest ends, and the grinder starts with a
    // crash.
    const double end = forest.endTime() / 1000.0;
    QTest::newRow("fade") << end - 1.25 << end - 0.7 << -6.0;
    QTest::newRow("grinder") << end - 0.25 << end << 6.0;
}

// The music changes at the moments the first scene's character moves.
void TestMusic::marksTheForestEvents()
{
    QFETCH(double, before);
    QFETCH(double, after);
    QFETCH(double, changeDb);
    const double windowSeconds = 0.25;
    const double change
        = rmsDb(after, after + windowSeconds) - rmsDb(before, before + windowSeconds);
    const QString message = QString("changes by %1 dB").arg(change);
    if (changeDb > 0)
        QVERIFY2(change >= changeDb, qPrintable(message));
    else
        QVERIFY2(change <= changeDb, qPrintable(message));
}

void TestMusic::sameBytesWhenRenderedTwice()
{
    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    const QString output = folder.filePath("music.raw");

    QProcess render;
    render.setProcessChannelMode(QProcess::ForwardedChannels);
    render.start("sh", {MINCER_MUSIC_RENDER, MINCER_MUSIC_SCORE, output, MINCER_MUSIC_SOUNDFONT});
    QVERIFY(render.waitForFinished(240000));
    QCOMPARE(render.exitStatus(), QProcess::NormalExit);
    QCOMPARE(render.exitCode(), 0);

    QFile again(output);
    QVERIFY(again.open(QIODevice::ReadOnly));
    const QByteArray bytes = again.readAll();
    QCOMPARE(bytes.size(), music.size());
    QVERIFY2(bytes == music, "the second rendering differs");
}

QTEST_GUILESS_MAIN(TestMusic)
#include "tst_music.moc"
