#ifndef BEATSONG_H
#define BEATSONG_H

// A song of known beats, made for tests: a kick on beats 1 and 3, a snare on 2 and 4, a hi-hat on
// the eighths and a bass note on each beat, from `startS` on, its tempo going evenly from `fromBpm`
// to `toBpm`; under it a slowly swelling chord, or only that (`fromBpm` 0).

#include "musicsource.h"

#include <QByteArray>
#include <QList>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

// The song as 16-bit mono samples at musicRateHz, `seconds` long; its beats (ms) in `beatsMs`.
inline QByteArray beatSong(double seconds, double fromBpm, double toBpm, double startS,
                           QList<double> *beatsMs)
{
    const int frames = int(seconds * musicRateHz);
    std::vector<float> sound(size_t(frames), 0.0f);
    std::mt19937 random(7);
    std::normal_distribution<double> noise;
    const auto hit = [&](double atS, double lengthS, auto sample) {
        for (int i = 0; i < int(lengthS * musicRateHz) && int(atS * musicRateHz) + i < frames; ++i)
            sound[size_t(int(atS * musicRateHz) + i)] += float(
                sample(double(i) / musicRateHz) * std::min(1.0, (lengthS * musicRateHz - i) / 441));
    };
    QList<double> beats;
    for (double t = startS; fromBpm > 0 && t < seconds;
         t += 60 / (fromBpm + (toBpm - fromBpm) * (t - startS) / (seconds - startS))) {
        const bool kick = beats.size() % 2 == 0;
        const double bassHz = 55 + 10 * (beats.size() % 3);
        hit(t, 0.3, [&](double s) {
            return kick ? 0.8 * std::sin(2 * M_PI * (50 * s + 3.3 * (1 - std::exp(-30 * s))))
                    * std::exp(-9 * s)
                        : 0.35 * noise(random) * std::exp(-18 * s);
        });
        for (const double hat : {t, t + 30 / fromBpm})
            hit(hat, 0.05, [&](double s) { return 0.08 * noise(random) * std::exp(-70 * s); });
        hit(t, 0.25,
            [&](double s) { return 0.3 * std::sin(2 * M_PI * bassHz * s) * std::exp(-3 * s); });
        beats.append(t * 1000);
    }
    QByteArray pcm;
    pcm.reserve(2 * frames);
    for (int i = 0; i < frames; ++i) {
        const double s = double(i) / musicRateHz;
        double sample = double(sound[size_t(i)]);
        for (const double hz : {110.0, 138.6, 164.8})
            sample += 0.04 * std::sin(2 * M_PI * hz * s) * (1.2 + std::sin(s / 3 + hz));
        const qint16 value = qint16(std::clamp(sample, -1.0, 1.0) * 32000);
        pcm.append(reinterpret_cast<const char *>(&value), 2);
    }
    *beatsMs = beats;
    return pcm;
}

#endif // BEATSONG_H
