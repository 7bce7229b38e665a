#ifndef INSTRUCTION_H
#define INSTRUCTION_H

class QPainter;

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

#endif // INSTRUCTION_H
