#include "ToolbarLayout.h"

#include <algorithm>

namespace kestrova {

std::array<double, 11> ToolbarLayout::buttonX() {
    std::array<double, 11> xs{};
    double x = padding;
    for (std::size_t i = 0; i < 8; ++i) { // seven tools, then undo
        xs[i] = x;
        x += buttonSize + spacing;
    }
    x += separatorWidth + spacing;
    for (std::size_t i = 8; i < xs.size(); ++i) { // copy, save, close
        xs[i] = x;
        x += buttonSize + spacing;
    }
    return xs;
}

// The separator line is centred in the gap between undo and copy.
double ToolbarLayout::separatorX() {
    return buttonX()[7] + buttonSize + spacing + 5;
}

QSizeF ToolbarLayout::size() {
    return {buttonX()[10] + buttonSize + padding, padding + buttonSize + padding};
}

QPointF ToolbarLayout::reposition(const QRectF& selection, const QRectF& bounds, QSizeF size) {
    const double w = size.width(), h = size.height();
    double y = selection.top() - gap - h;
    if (y < margin)
        y = selection.top() + selection.height() + gap;
    double x = selection.center().x() - w / 2;
    x = std::min(std::max(x, margin), bounds.width() - w - margin);
    y = std::min(std::max(y, margin), bounds.height() - h - margin);
    return {x, y};
}

} // namespace kestrova
