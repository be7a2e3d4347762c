#pragma once

#include "ScreenInfo.h"

#include <QImage>

#include <vector>

namespace kestrova {

class ScreenMosaic final {
public:
    // The whole desktop in one picture: the screens placed as they are arranged, at the
    // largest scale among them. A screen at that scale keeps its pixels; one at a lower
    // scale is enlarged to it; gaps are black.
    static QImage compose(const std::vector<ScreenInfo>& screens,
                          const std::vector<QImage>& stills);
};

} // namespace kestrova
