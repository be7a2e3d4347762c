#pragma once

#include <QPointer>
#include <QRectF>
#include <QScreen>

namespace kestrova {

// The screen a region was chosen on, and the region in that screen's y-up points.
struct SelectionResult {
    QPointer<QScreen> screen;
    QRectF rect;
};

} // namespace kestrova
