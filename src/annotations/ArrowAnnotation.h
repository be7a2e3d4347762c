#pragma once

#include "TwoPointAnnotation.h"

namespace kestrova {

class ArrowAnnotation final : public TwoPointAnnotation {
public:
    using TwoPointAnnotation::TwoPointAnnotation;

    // Where the parts of the arrow lie: the shaft runs from start() to shaftEnd, the
    // filled head is the triangle end(), leftCorner, rightCorner.
    struct Geometry {
        double headLength;
        QPointF shaftEnd;
        QPointF leftCorner;
        QPointF rightCorner;
    };
    Geometry geometry() const;

    void draw(QPainter& painter) const override;
    QRectF bounds() const override;
};

} // namespace kestrova
