// Arbitrary bytes as a compressed piece: the splice must read nothing outside them, and
// whatever it accepts must still inflate to the same bytes, now with more to follow.

#include "DeflateSplice.h"

#include <libdeflate.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

using namespace kestrova;

namespace {

struct Inflater {
    void operator()(libdeflate_decompressor* d) const { libdeflate_free_decompressor(d); }
};

// The stream's bytes, if it is a complete deflate stream that uses all of `size`.
bool inflate(const std::uint8_t* data, std::size_t size, std::vector<std::uint8_t>& out) {
    static const std::unique_ptr<libdeflate_decompressor, Inflater> d(
        libdeflate_alloc_decompressor());
    out.resize(1 << 20);
    std::size_t read = 0;
    std::size_t written = 0;
    const auto result = libdeflate_deflate_decompress_ex(d.get(), data, size, out.data(),
                                                         out.size(), &read, &written);
    out.resize(written);
    return result == LIBDEFLATE_SUCCESS && read == size;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Exactly the input, so that a read past it shows under the address sanitiser.
    const auto piece = std::make_unique<std::uint8_t[]>(size + DeflateSplice::growth);
    std::memcpy(piece.get(), data, size);
    std::vector<std::uint8_t> before;
    const bool valid = inflate(data, size, before);
    const std::size_t spliced = DeflateSplice::makeContinuable(piece.get(), size);
    if (spliced == 0)
        return 0;
    // A final empty stored block ends what the splice left open.
    std::vector<std::uint8_t> joined(piece.get(), piece.get() + spliced);
    for (const std::uint8_t byte : {0x01, 0x00, 0x00, 0xff, 0xff})
        joined.push_back(byte);
    std::vector<std::uint8_t> after;
    if (valid && (!inflate(joined.data(), joined.size(), after) || after != before)) {
        std::fprintf(stderr, "the spliced stream reads differently\n");
        std::abort();
    }
    return 0;
}
