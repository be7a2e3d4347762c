#pragma once

#include "Expected.h"

#include <QByteArray>
#include <QFuture>
#include <QImage>

namespace kestrova {

// A screenshot on the clipboard.
class ClipboardImage final {
public:
    struct Content {
        QImage image;
        QByteArray png;
    };

    // The image and its PNG bytes on the clipboard, at once (on the GUI thread).
    static void offer(const QImage& image, const QByteArray& png);

    // Whether the clipboard can be taken only while one of kestrova's windows has the
    // keyboard (Wayland: the compositor ignores a program without it), so that a copy
    // must claim it before its window goes, and fill it in later.
    static bool takenOnlyWithFocus();
    // Claims the clipboard now for the PNG `content` will hold; a paste before it is
    // ready waits for it, and gets nothing if it fails. On the GUI thread.
    static void promise(const QFuture<Expected<Content>>& content);
};

} // namespace kestrova
