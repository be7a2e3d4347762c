#pragma once

#include "ImageBuffer.h"

#include <QImage>
#include <QSize>

#include <cstddef>
#include <cstdint>
#include <utility>

namespace kestrova {

// Decodes the kind of PNG desktops write for a screenshot (8 bits per channel, RGB or
// RGBA, not interlaced) straight into an opaque RGB32 image. A general decoder inflates
// row by row with zlib and converts every row once more, into memory of its own: well
// over a tenth of a second at 4K, a third of one at 5K. Here libdeflate inflates the
// whole picture into the image's own buffer, and the rows are unfiltered and reordered
// in place.
class PngDecoder final {
public:
    // Memory for a picture of `pixels`, of either kind, touched ahead of time: made while
    // the desktop takes its screenshot, it spares the decoding the slow first touch of
    // fresh memory. Empty when there is none.
    struct Memory final {
        Memory() : size(0) {}
        Memory(ImageBuffer::Bytes b, std::size_t s) : bytes(std::move(b)), size(s) {}
        static Memory make(QSize pixels);

        ImageBuffer::Bytes bytes;
        std::size_t size;
    };

    // The file's bytes, which it may rearrange. A file of another kind, or a malformed
    // one, comes back null: a general decoder then reads it, or says what is wrong.
    // `maxImageBytes` bounds the image made, whatever the file claims. The picture goes
    // into `ready` if it fits.
    static QImage decode(std::uint8_t* file, std::size_t size, std::size_t maxImageBytes,
                         Memory ready = {});
};

} // namespace kestrova
