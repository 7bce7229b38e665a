// BeatPredictor fed made songs block by block, as a recorder would, each block heard as it is
// fed: the beats it predicts 100 ms ahead against the songs' own, a beat said to be there only
// where there is one, and found within 8 beats of its coming in.

#include "beatpredictor.h"
#include "musicsource.h"

#include <QtTest>

#include <algorithm>
#include <cmath>
#include <random>

class TestBeatPredictor : public QObject
{
    Q_OBJECT

private slots:
    void predicts_data();
    void predicts();
};

// Beats from `startS` to `endS` (s), the tempo going evenly from `fromBpm` to `toBpm`: a thump or
// a burst of noise on each beat in turn, a soft tick between; before `startS` a voice's
// syllables at random where `speech`. The beats, in frames, go to `beats`.
static std::vector<float> makeSong(double fromBpm, double toBpm, double startS, double endS,
                                   bool speech, std::vector<qint64> *beats)
{
    std::vector<float> song(size_t(40 * musicRateHz), 0.0f);
    std::mt19937 random(3);
    std::uniform_real_distribution<double> noise(-1, 1), syllableS(0.08, 0.3), pauseS(0.05, 0.4);
    const auto add = [&](double atS, double lengthS, auto sample) {
        for (qint64 i = 0, at = qint64(atS * musicRateHz);
             i < qint64(lengthS * musicRateHz) && at + i < qint64(song.size()); ++i)
            song[size_t(at + i)] += float(sample(double(i) / musicRateHz));
    };
    for (double t = startS; fromBpm > 0 && t < endS;
         t += 60 / (fromBpm + (toBpm - fromBpm) * (t - startS) / (endS - startS))) {
        const bool thump = beats->size() % 2 == 0;
        add(t, 0.25, [&](double s) {
            return (thump ? 0.7 * std::sin(2 * M_PI * 60 * s) : 0.3 * noise(random))
                * std::exp(-15 * s);
        });
        add(t + 30 / fromBpm, 0.04,
            [&](double s) { return 0.05 * noise(random) * std::exp(-80 * s); });
        beats->push_back(qint64(t * musicRateHz));
    }
    for (double t = 0.2; speech && t < startS - 0.5; t += pauseS(random)) {
        const double lengthS = syllableS(random), hz = 120 + 100 * noise(random);
        add(t, lengthS, [&](double s) {
            return 0.3 * std::sin(2 * M_PI * hz * s) * std::sin(M_PI * s / lengthS)
                + 0.3 * noise(random) * std::exp(-60 * s); // a consonant, then a vowel
        });
        t += lengthS;
    }
    return song;
}

void TestBeatPredictor::predicts_data()
{
    QTest::addColumn<double>("fromBpm");
    QTest::addColumn<double>("toBpm");
    QTest::addColumn<double>("startS");
    QTest::addColumn<double>("endS");
    QTest::addColumn<bool>("speech");

    QTest::newRow("100 BPM") << 100.0 << 100.0 << 0.3 << 40.0 << false;
    QTest::newRow("128 BPM") << 128.0 << 128.0 << 0.7 << 40.0 << false;
    QTest::newRow("96 to 136 BPM") << 96.0 << 136.0 << 0.5 << 40.0 << false;
    QTest::newRow("speech, then 110 BPM") << 110.0 << 110.0 << 12.0 << 40.0 << true;
    QTest::newRow("110 BPM, then silence") << 110.0 << 110.0 << 0.5 << 20.0 << false;
    QTest::newRow("speech alone") << 0.0 << 0.0 << 40.0 << 40.0 << true;
}

void TestBeatPredictor::predicts()
{
    QFETCH(double, fromBpm);
    QFETCH(double, toBpm);
    QFETCH(double, startS);
    QFETCH(double, endS);
    QFETCH(bool, speech);
    std::vector<qint64> beats;
    const std::vector<float> song = makeSong(fromBpm, toBpm, startS, endS, speech, &beats);
    const auto heardNs
        = [](qint64 frame) { return 5'000'000'000 + frame * 1'000'000'000 / musicRateHz; };
    const qint64 leadNs = 100'000'000, blockFrames = 441;
    BeatPredictor predictor;
    std::vector<double> offMs;
    size_t next = 0; // the next beat to be predicted
    for (qint64 at = 0; at + blockFrames <= qint64(song.size()); at += blockFrames) {
        predictor.feed(song.data() + at, blockFrames, heardNs(at));
        const qint64 nowNs = heardNs(at + blockFrames);
        const std::vector<qint64> coming = predictor.coming(nowNs, 4).heardNs;
        // A beat is said to be there from the 8th beat to the last, and none before the first or
        // 4 beats after the last.
        const qint64 firstNs = beats.empty() ? 0 : heardNs(beats.front());
        const qint64 lastNs = beats.empty() ? 0 : heardNs(beats.back());
        if (beats.empty() || nowNs < firstNs
            || nowNs > lastNs + (lastNs - heardNs(beats.end()[-2])) * 4)
            QVERIFY2(coming.empty(), qPrintable(QString("a beat at %1 s").arg(nowNs / 1e9 - 5)));
        else if (nowNs > heardNs(beats[7]) && nowNs < lastNs)
            QVERIFY2(!coming.empty(), qPrintable(QString("no beat at %1 s").arg(nowNs / 1e9 - 5)));
        // Each beat after the first 8 s against the one predicted nearest it, 100 ms before it.
        for (; next < beats.size() && heardNs(beats[next]) - leadNs <= nowNs; ++next) {
            if (beats[next] < (8 + startS) * musicRateHz)
                continue;
            const qint64 beatNs = heardNs(beats[next]);
            QVERIFY2(!coming.empty(), qPrintable(QString("beat %1 not predicted").arg(next)));
            offMs.push_back(std::abs(*std::min_element(coming.begin(), coming.end(),
                                                       [&](qint64 a, qint64 b) {
                                                           return std::llabs(a - beatNs)
                                                               < std::llabs(b - beatNs);
                                                       })
                                     - beatNs)
                            / 1e6);
        }
    }
    std::sort(offMs.begin(), offMs.end());
    if (!offMs.empty()) {
        qInfo("%zu beats: median %.1f ms, 90 %% within %.1f ms", offMs.size(),
              offMs[offMs.size() / 2], offMs[offMs.size() * 9 / 10]);
        QVERIFY(offMs[offMs.size() / 2] <= 5);
        QVERIFY(offMs[offMs.size() * 9 / 10] <= 12);
    }
}

QTEST_GUILESS_MAIN(TestBeatPredictor)
#include "tst_beatpredictor.moc"
