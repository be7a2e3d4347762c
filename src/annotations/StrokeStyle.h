#pragma once

#include <QColor>
#include <QPen>

namespace kestrova {

// Pens of the annotation shapes: square-cornered outlines for rectangles and
// ellipses, round ends for lines and strokes.
inline QPen outlinePen(const QColor& color, double width) {
    QPen pen(color, width, Qt::SolidLine, Qt::FlatCap, Qt::MiterJoin);
    pen.setMiterLimit(10);
    return pen;
}

inline QPen roundPen(const QColor& color, double width) {
    return QPen(color, width, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
}

} // namespace kestrova
