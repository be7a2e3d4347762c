#include "ScreenInfo.h"

#include "ModelGeometry.h"

#include <algorithm>
#include <cmath>

namespace kestrova {

QSize ScreenInfo::pixelSize() const {
    return {geometry::pixelLength(geometry.width(), scale),
            geometry::pixelLength(geometry.height(), scale)};
}

QRect ScreenInfo::nativeRect() const {
    return QRect(geometry.topLeft(), pixelSize());
}

QRect ScreenInfo::pixelRect(const QRectF& localRect) const {
    const double s = scale;
    const double screenHeight = geometry.height();
    const double w = std::abs(localRect.width());
    const double h = std::abs(localRect.height());
    // Points grow upwards from the screen's bottom; the capture's rows run downwards.
    const auto px = [](double v) {
        return static_cast<int>(std::clamp(geometry::roundAway(v), -1e9, 1e9));
    };
    return QRect(px(localRect.x() * s), px(s * (screenHeight - (localRect.y() + h))), px(s * w),
                 px(s * h));
}

} // namespace kestrova
