#include "artwork.h"
QImage paintBackground()
{
    return newCanvas(1920, 1080);
}
QImage paintForeground()
{
    return newCanvas(1920, 667);
}
