#pragma once

#include <QColor>

class QImage;
class QPainter;
class QRect;
class QRectF;

namespace kestrova {

// The overlay's veil over a still image. A screen's first paint copies the still and
// blends the veil over every pixel; done by Qt that is two passes over tens of
// megabytes, done here it is one, straight into the memory the painter writes to.
class VeilPainter final {
public:
    // The veil: 35 % black.
    static QColor color();

    // Paints `area` (in the painter's logical coordinates) with the still's `source`
    // rectangle under the veil, as far as it lies within the painter's image. Returns
    // false, painting nothing, unless the painter writes plain 32-bit pixels one for one
    // with the still's: the caller then paints with the painter.
    static bool paint(QPainter& painter, const QRect& area, const QImage& still,
                      const QRectF& source);
};

} // namespace kestrova
