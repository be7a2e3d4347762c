#pragma once

#include <QImage>

#include <cstddef>
#include <cstdint>

namespace kestrova {

// Decodes the kind of PNG desktops write for a screenshot (8 bits per channel, RGB or
// RGBA, not interlaced) straight into an opaque RGB32 image. A general decoder inflates
// row by row with zlib and converts every row once more, into memory of its own: at 4K
// that took a quarter of a second. Here libdeflate inflates the whole picture into the
// image's own buffer, and the rows are unfiltered and reordered in place.
class PngDecoder final {
public:
    // The file's bytes, which it may rearrange. A file of another kind, or a malformed
    // one, comes back null: a general decoder then reads it, or says what is wrong.
    // `maxImageBytes` bounds the image made, whatever the file claims.
    static QImage decode(std::uint8_t* file, std::size_t size, std::size_t maxImageBytes);
};

} // namespace kestrova
