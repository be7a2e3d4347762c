#pragma once

#include "ScreenInfo.h"

#include <QImage>

#include <vector>

namespace kestrova {

// Where each screen lies in an image of the whole desktop, as desktop portals hand it
// over: all screens in one picture, at one pixel density however their scales differ.
class DesktopLayout final {
public:
    // Each screen's part of `desktop`, at that screen's own pixel size, in the order
    // given. The picture's density is read from its size against the screens' bounding
    // box; a part drawn at another density than its screen's is resampled. A screen
    // the picture does not cover gets a null image.
    static std::vector<QImage> split(QImage desktop, const std::vector<ScreenInfo>& screens);
};

} // namespace kestrova
