#include "ScreenInfo.h"

#include "ModelGeometry.h"

#include <QScreen>

namespace kestrova {

ScreenInfo ScreenInfo::of(const QScreen* screen) {
    if (!screen)
        return {};
    return {screen->name(), screen->geometry(), screen->devicePixelRatio()};
}

QSize ScreenInfo::pixelSize() const {
    return {geometry::pixelLength(geometry.width(), scale),
            geometry::pixelLength(geometry.height(), scale)};
}

QRect ScreenInfo::nativeRect() const {
    return QRect(geometry.topLeft(), pixelSize());
}

} // namespace kestrova
