// Arbitrary bytes as the picture file a screenshot portal names: the decoder must read
// nothing outside them, and a picture it accepts has the size its header gives.

#include "PngDecoder.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

using namespace kestrova;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Exactly the input, so that a read past it shows under the address sanitiser.
    const auto file = std::make_unique<std::uint8_t[]>(size);
    std::memcpy(file.get(), data, size);
    // Small enough that a header claiming a huge picture is refused, not allocated.
    const QImage image = PngDecoder::decode(file.get(), size, 1 << 24);
    if (!image.isNull()) {
        const auto field = [data](std::size_t at) {
            return int(data[at]) << 24 | int(data[at + 1]) << 16 | int(data[at + 2]) << 8 |
                   int(data[at + 3]);
        };
        if (image.width() != field(16) || image.height() != field(20) ||
            image.format() != QImage::Format_RGB32 || (image.pixel(0, 0) >> 24) != 0xff)
            std::abort();
    }
    return 0;
}
