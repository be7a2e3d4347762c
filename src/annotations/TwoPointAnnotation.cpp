#include "TwoPointAnnotation.h"

#include "ModelGeometry.h"

namespace kestrova {

QRectF TwoPointAnnotation::rect() const {
    return geometry::spanning(m_start, m_end);
}

QRectF TwoPointAnnotation::bounds() const {
    // Mitred corners reach out up to width / sqrt(2); a whole width is a safe margin.
    return geometry::inset(rect(), -(m_thickness + 1));
}

} // namespace kestrova
