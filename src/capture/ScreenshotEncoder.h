#pragma once

#include "Expected.h"
#include "ImageFormat.h"

#include <QByteArray>
#include <QImage>

namespace kestrova {

// A screenshot's bytes in the chosen format. Usable on any thread.
class ScreenshotEncoder final {
public:
    // PNG (kestrova's fast encoder) or JPEG at quality 90, both at one pixel per point.
    static Expected<QByteArray> encode(const QImage& image, ImageFormat format);
};

} // namespace kestrova
