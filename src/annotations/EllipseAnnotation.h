#pragma once

#include "TwoPointAnnotation.h"

namespace kestrova {

class EllipseAnnotation final : public TwoPointAnnotation {
public:
    using TwoPointAnnotation::TwoPointAnnotation;
    void draw(QPainter& painter) const override;
};

} // namespace kestrova
