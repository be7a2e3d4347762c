#pragma once

#include "Tool.h"

#include <QPointF>
#include <QRectF>
#include <QSizeF>

#include <array>

namespace kestrova {

// Where the toolbar's parts stand, in its own y-up points, and where the toolbar goes
// next to the selection.
class ToolbarLayout final {
public:
    static constexpr double buttonSize = 30;
    static constexpr double spacing = 3;
    static constexpr double padding = 7;
    static constexpr double separatorWidth = 11;
    static constexpr double margin = 8;
    static constexpr double gap = 10;

    // Left edges of the eleven buttons: seven tools, undo, copy, save, close.
    static std::array<double, 11> buttonX();
    static double separatorX();
    static QSizeF size();

    // Below the selection if there is room, else above it; centred on it, then kept
    // inside the canvas. Lower bounds first, so in a tiny canvas the upper bound wins.
    static QPointF reposition(const QRectF& selection, const QRectF& bounds, QSizeF size);
};

} // namespace kestrova
