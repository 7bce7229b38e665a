#ifndef INSTRUCTION_H
#define INSTRUCTION_H

#include <QColor>
#include <QPaintDevice>
#include <QPainter>
#include <QSize>

// One scene of the demo. draw() paints the frame at scene time t (milliseconds since the scene
// started, negative after seeking back) and returns false once the scene has finished.
class Instruction
{
public:
    virtual bool draw(long t, QPainter &painter) = 0;

protected:
    // Scenes are never deleted through this interface.
    ~Instruction() = default;
};

// The colour that both scenes fill the screen with.
inline QColor sceneColour()
{
    QColor colour;
    colour.setNamedColor(QStringLiteral("#30392c"));
    return colour;
}

// The painter's viewport in the logical pixels that the painter draws in. The viewport itself is
// in device pixels, twice as many each way on a screen scaled by 2 (QT_SCALE_FACTOR=2).
inline QSize logicalViewportSize(const QPainter &painter)
{
    const qreal ratio = painter.device()->devicePixelRatioF();
    return QSize(qRound(painter.viewport().width() / ratio),
                 qRound(painter.viewport().height() / ratio));
}

#endif // INSTRUCTION_H
