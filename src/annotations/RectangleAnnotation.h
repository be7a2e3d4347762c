#pragma once

#include "TwoPointAnnotation.h"

namespace kestrova {

class RectangleAnnotation final : public TwoPointAnnotation {
public:
    using TwoPointAnnotation::TwoPointAnnotation;
    void draw(QPainter& painter) const override;
};

} // namespace kestrova
