#include "pixelsize.h"

#include <QRegularExpression>

QSize parsePixelSize(const QString &text)
{
    static const QRegularExpression pattern(QStringLiteral("^(\\d{1,5})x(\\d{1,5})$"));
    const QRegularExpressionMatch match = pattern.match(text);
    const int width = match.captured(1).toInt();
    const int height = match.captured(2).toInt();
    if (!match.hasMatch() || width < 1 || height < 1 || width > largestSidePx
        || height > largestSidePx)
        return QSize();
    return QSize(width, height);
}
