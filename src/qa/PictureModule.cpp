#include "qa/PictureDrawing.h"

extern "C" __attribute__((visibility("default"))) const quelby::PictureDrawing* quelby_picture_drawing()
{
    static constexpr quelby::PictureDrawing drawing{quelby::prepareDrawing, quelby::drawMap, quelby::drawPlainMap,
                                                    quelby::drawDrift, quelby::drawStability};
    return &drawing;
}
