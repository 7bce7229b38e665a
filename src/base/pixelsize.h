#ifndef PIXELSIZE_H
#define PIXELSIZE_H

#include <QSize>
#include <QString>

// The largest side of a window or a frame that the demo and its tools take, in pixels: Qt's own
// limit for a window.
constexpr int largestSidePx = 16384;

// A size written WIDTHxHEIGHT, such as 1280x720, each side from 1 to largestSidePx; an empty size
// when the text is not one.
QSize parsePixelSize(const QString &text);

#endif // PIXELSIZE_H
