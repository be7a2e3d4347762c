#pragma once

#include "HugePageBytes.h"

#include <QImage>
#include <QRect>

#include <cstdint>
#include <cstdlib>
#include <memory>

namespace kestrova {

// Screen-sized images (60 MB at 5K) are slow to touch for the first time when backed by
// small pages; these are backed by transparent huge pages where the system offers them.
class ImageBuffer final {
public:
    // The row length an image of this size and format has; 0 for none.
    static qsizetype bytesPerLine(QSize size, QImage::Format format);
    // An uninitialised image of the given size.
    static QImage make(QSize size, QImage::Format format);
    // A deep copy of part of an image, in a buffer as above (for any format; RGB32
    // comes out with its unused byte opaque, as the format wants).
    static QImage copy(const QImage& source, const QRect& area);
    // Rows of packed 32-bit pixels as a display server sends them, into an RGB32 image
    // of their width from row `first` on, made opaque on the way.
    static void putOpaqueRows(QImage& image, int first, const std::uint32_t* packed, int rows);
    // The same for an RGB32 image's own pixels, where they lie (a screen sent into memory
    // of kestrova's, which becomes the still). The first pass over memory written just
    // now, by another process too, takes tens of ms at 4K: a screen is done in two halves
    // at once.
    static void makeOpaque(QImage& image);

    using Bytes = HugePageBytes::Bytes;
    // Uninitialised bytes for a large working buffer; null when there is no memory.
    static Bytes bytes(std::size_t size) { return HugePageBytes::make(size); }
    // An image over such bytes (a picture read or decoded straight into them), which
    // it then owns; null when there are none.
    static QImage adopt(Bytes bytes, QSize size, qsizetype bytesPerLine, QImage::Format format);
};

} // namespace kestrova
