#include "TwoPointAnnotation.h"

#include "ModelGeometry.h"

#include <cmath>

namespace kestrova {

QRectF TwoPointAnnotation::rect() const {
    return geometry::spanning(m_start, m_end);
}

QRectF TwoPointAnnotation::bounds() const {
    // Mitred corners reach out up to width / sqrt(2); a whole width is a safe margin.
    return geometry::inset(rect(), -(m_thickness + 1));
}

QRectF TwoPointAnnotation::extendTo(QPointF p) {
    const QRectF before = bounds();
    m_end = p;
    return before.united(bounds());
}

bool TwoPointAnnotation::isTooSmallToKeep() const {
    const QPointF d = m_end - m_start;
    return std::hypot(d.x(), d.y()) < minimumLength;
}

} // namespace kestrova
