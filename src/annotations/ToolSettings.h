#pragma once

#include "Palette.h"

#include <QColor>

namespace kestrova {

// Colour, stroke thickness and text size that new annotations of one tool get.
struct ToolSettings {
    QColor color = Palette::defaultColor();
    double thickness = 4;
    double textSize = 24;
};

} // namespace kestrova
