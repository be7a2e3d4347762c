#pragma once

#include "TwoPointAnnotation.h"

namespace kestrova {

class LineAnnotation final : public TwoPointAnnotation {
public:
    using TwoPointAnnotation::TwoPointAnnotation;
    void draw(QPainter& painter) const override;
};

} // namespace kestrova
