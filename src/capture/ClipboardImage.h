#pragma once

#include <QByteArray>
#include <QImage>

namespace kestrova {

// A screenshot on the clipboard.
class ClipboardImage final {
public:
    // The image and its PNG bytes on the clipboard, at once (on the GUI thread).
    static void offer(const QImage& image, const QByteArray& png);
};

} // namespace kestrova
