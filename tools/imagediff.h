#ifndef IMAGEDIFF_H
#define IMAGEDIFF_H

// Pixel comparison with a tolerance, for checks whose two images may come from different
// machines: Qt's raster engine picks CPU-specific code paths whose rounding can differ by a
// level, which nobody can see but which breaks a byte-for-byte comparison.

#include <QImage>

#include <algorithm>
#include <cstdlib>

struct PixelDifference
{
    bool sameSize = true;
    int differing = 0; // pixels that differ at all
    int beyond = 0; // pixels that differ by more than the tolerance
    int largest = 0; // largest difference of one channel, in levels
};

namespace imagediff {

// The largest difference of one channel between two pixels, in levels.
inline int channelDifference(QRgb p, QRgb q)
{
    return std::max({std::abs(qAlpha(p) - qAlpha(q)), std::abs(qRed(p) - qRed(q)),
                     std::abs(qGreen(p) - qGreen(q)), std::abs(qBlue(p) - qBlue(q))});
}

} // namespace imagediff

// Compares two images pixel by pixel (as 8-bit ARGB); `tolerance` is in levels per channel.
//
// A pixel is within tolerance when its straight (non-premultiplied) channels all differ by at
// most `tolerance`, or its premultiplied channels do. The second test matters for nearly
// transparent pixels: at alpha 1 a one-level rounding of the premultiplied colour that a painter
// stores becomes a jump of up to 255 levels once the colour is divided by the alpha, yet the
// pixel looks the same over any background.
inline PixelDifference comparePixels(const QImage &a, const QImage &b, int tolerance)
{
    PixelDifference result;
    if (a.size() != b.size()) {
        result.sameSize = false;
        return result;
    }
    const QImage first = a.convertToFormat(QImage::Format_ARGB32);
    const QImage second = b.convertToFormat(QImage::Format_ARGB32);
    int largestWithin = 0;
    for (int y = 0; y < first.height(); ++y) {
        const auto *p = reinterpret_cast<const QRgb *>(first.constScanLine(y));
        const auto *q = reinterpret_cast<const QRgb *>(second.constScanLine(y));
        for (int x = 0; x < first.width(); ++x) {
            if (p[x] == q[x])
                continue;
            ++result.differing;
            const int straight = imagediff::channelDifference(p[x], q[x]);
            if (straight <= tolerance
                || imagediff::channelDifference(qPremultiply(p[x]), qPremultiply(q[x]))
                    <= tolerance) {
                largestWithin = std::max(largestWithin, straight);
                continue;
            }
            ++result.beyond;
            result.largest = std::max(result.largest, straight);
        }
    }
    if (result.beyond == 0)
        result.largest = largestWithin;
    return result;
}

#endif // IMAGEDIFF_H
