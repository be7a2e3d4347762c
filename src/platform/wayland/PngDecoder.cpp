#include "PngDecoder.h"

#include "ImageBuffer.h"
#include "Prefault.h"

#include <libdeflate.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace kestrova {

namespace {

constexpr std::uint8_t signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
// Room between the image's rows and the inflated rows still to be read (see decode).
constexpr std::size_t margin = 64;

std::uint32_t bigEndian(const std::uint8_t* p) {
    return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 |
           std::uint32_t(p[3]);
}

bool isType(const std::uint8_t* p, const char* type) {
    return std::memcmp(p, type, 4) == 0;
}

// Pixels as RGB32 holds them, 0x??RRGGBB; the top byte of a value is never looked at.
// Every filter works on each channel alone, so four channels go in one word, kept
// apart by masks.
std::uint32_t pixelAt(const std::uint8_t* rgb) {
    return std::uint32_t(rgb[0]) << 16 | std::uint32_t(rgb[1]) << 8 | std::uint32_t(rgb[2]);
}

std::uint32_t addBytes(std::uint32_t x, std::uint32_t y) {
    return ((x & 0x7f7f7f7fu) + (y & 0x7f7f7f7fu)) ^ ((x ^ y) & 0x80808080u);
}

std::uint32_t averageBytes(std::uint32_t x, std::uint32_t y) {
    return (x & y) + (((x ^ y) & 0xfefefefeu) >> 1);
}

constexpr std::uint32_t opaque = 0xff000000u;

// The paeth filter's predictor: of left, up and corner, the one nearest to
// left + up - corner (left first, then up, on ties), for each channel.
#if defined(__SSE2__)
// A row of it in 16-bit lanes, one pixel's channels at a time: each pixel waits for the
// one before it, so the steps from one to the next are what count, and the lanes never
// leave their registers between them.
template <int channels>
void paethRow(const std::uint8_t* in, const std::uint32_t* above, std::uint32_t* out, int width) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i low = _mm_set1_epi16(0xff);
    const auto widen = [zero](std::uint32_t v) {
        return _mm_unpacklo_epi8(_mm_cvtsi32_si128(int(v)), zero);
    };
    const auto magnitude = [zero](__m128i v) { return _mm_max_epi16(v, _mm_sub_epi16(zero, v)); };
    __m128i left = zero;
    __m128i corner = zero;
    for (int x = 0; x < width; ++x) {
        const __m128i up = widen(above[x]);
        const __m128i upStep = _mm_sub_epi16(up, corner);
        const __m128i leftStep = _mm_sub_epi16(left, corner);
        const __m128i toLeft = magnitude(upStep);
        const __m128i toUp = magnitude(leftStep);
        const __m128i toCorner = magnitude(_mm_add_epi16(upStep, leftStep));
        const __m128i notLeft =
            _mm_or_si128(_mm_cmpgt_epi16(toLeft, toUp), _mm_cmpgt_epi16(toLeft, toCorner));
        const __m128i notUp = _mm_cmpgt_epi16(toUp, toCorner);
        const __m128i upOrCorner =
            _mm_or_si128(_mm_andnot_si128(notUp, up), _mm_and_si128(notUp, corner));
        const __m128i best =
            _mm_or_si128(_mm_andnot_si128(notLeft, left), _mm_and_si128(notLeft, upOrCorner));
        left = _mm_and_si128(_mm_add_epi16(widen(pixelAt(in + x * channels)), best), low);
        corner = up;
        out[x] = std::uint32_t(_mm_cvtsi128_si32(_mm_packus_epi16(left, zero))) | opaque;
    }
}
#else
template <int channels>
void paethRow(const std::uint8_t* in, const std::uint32_t* above, std::uint32_t* out, int width) {
    std::uint32_t left = 0;
    std::uint32_t corner = 0;
    for (int x = 0; x < width; ++x) {
        const std::uint32_t up = above[x];
        std::uint32_t predicted = 0;
        for (int shift = 0; shift < 24; shift += 8) {
            const int a = int(left >> shift & 0xff);
            const int b = int(up >> shift & 0xff);
            const int c = int(corner >> shift & 0xff);
            const int toLeft = std::abs(b - c);
            const int toUp = std::abs(a - c);
            const int toCorner = std::abs(a + b - 2 * c);
            const int best = toLeft <= toUp && toLeft <= toCorner ? a : toUp <= toCorner ? b : c;
            predicted |= std::uint32_t(best) << shift;
        }
        left = addBytes(pixelAt(in + x * channels), predicted);
        corner = up;
        out[x] = left | opaque;
    }
}
#endif

// One row of `width` pixels of `channels` bytes each (the fourth, alpha, is skipped:
// filters never mix channels), unfiltered into `out` beside the row above it. `out` may
// lie over `in`, as long as it stays behind the byte being read.
template <int channels>
bool unfilterRow(int filter, const std::uint8_t* in, const std::uint32_t* above, std::uint32_t* out,
                 int width) {
    std::uint32_t left = 0;
    switch (filter) {
    case 0:
        for (int x = 0; x < width; ++x)
            out[x] = pixelAt(in + x * channels) | opaque;
        return true;
    case 1:
        for (int x = 0; x < width; ++x) {
            left = addBytes(pixelAt(in + x * channels), left);
            out[x] = left | opaque;
        }
        return true;
    case 2:
        for (int x = 0; x < width; ++x)
            out[x] = addBytes(pixelAt(in + x * channels), above[x]) | opaque;
        return true;
    case 3:
        for (int x = 0; x < width; ++x) {
            left = addBytes(pixelAt(in + x * channels), averageBytes(left, above[x]));
            out[x] = left | opaque;
        }
        return true;
    case 4:
        paethRow<channels>(in, above, out, width);
        return true;
    default:
        return false;
    }
}

// The buffer a picture of this size is decoded in (see decode).
std::size_t bufferBytes(std::size_t width, std::size_t height, int channels) {
    return std::max(width * channels + 1, width * 4) * height + margin;
}

struct Deflater final {
    void operator()(libdeflate_decompressor* d) const { libdeflate_free_decompressor(d); }
};

} // namespace

PngDecoder::Memory PngDecoder::Memory::make(QSize pixels) {
    if (pixels.isEmpty())
        return {};
    // Room for four channels holds three too.
    const std::size_t size =
        bufferBytes(std::size_t(pixels.width()), std::size_t(pixels.height()), 4);
    Memory memory{ImageBuffer::bytes(size), size};
    if (!memory.bytes)
        return {};
    prefault(memory.bytes.get(), size);
    return memory;
}

QImage PngDecoder::decode(std::uint8_t* file, std::size_t size, std::size_t maxImageBytes,
                          Memory ready) {
    if (size < sizeof signature + 25 || std::memcmp(file, signature, sizeof signature) != 0)
        return {};
    std::size_t pos = sizeof signature;
    // The header comes first: 13 bytes of data.
    if (bigEndian(file + pos) != 13 || !isType(file + pos + 4, "IHDR"))
        return {};
    const std::uint8_t* header = file + pos + 8;
    const std::uint32_t width = bigEndian(header);
    const std::uint32_t height = bigEndian(header + 4);
    const int depth = header[8];
    const int colour = header[9];
    // Compression, filter method and interlacing: only the plain kind is read here.
    if (depth != 8 || (colour != 2 && colour != 6) || header[10] != 0 || header[11] != 0 ||
        header[12] != 0)
        return {};
    if (width == 0 || height == 0 || width > (1u << 28) || height > (1u << 28) ||
        std::uint64_t(width) * height * 4 > maxImageBytes)
        return {};
    pos += 8 + 13 + 4;

    // The IDAT chunks' data, joined in place behind the first one's (each moves down over
    // headers already read); any chunk between them is a malformed file.
    std::uint8_t* joined = nullptr;
    std::size_t joinedSize = 0;
    bool joining = true;
    bool ended = false;
    while (!ended) {
        if (size - pos < 12)
            return {};
        const std::size_t length = bigEndian(file + pos);
        const std::uint8_t* type = file + pos + 4;
        if (length > size - pos - 12)
            return {};
        std::uint8_t* data = file + pos + 8;
        if (isType(type, "IDAT")) {
            if (!joining)
                return {};
            if (!joined)
                joined = data;
            std::memmove(joined + joinedSize, data, length);
            joinedSize += length;
        } else {
            joining = joined == nullptr;
            ended = isType(type, "IEND");
            // An unknown chunk that must be understood (upper-case first letter) is for a
            // general decoder; a palette is harmless beside RGB.
            if (!ended && !(type[0] & 0x20) && !isType(type, "PLTE"))
                return {};
        }
        pos += length + 12;
    }
    if (!joined)
        return {};

    const int channels = colour == 6 ? 4 : 3;
    const std::size_t rowIn = std::size_t(width) * channels + 1;
    const std::size_t rowOut = std::size_t(width) * 4;
    const std::size_t inflated = rowIn * height;
    // The image's rows start at the front of the buffer; the inflated ones sit at its
    // end, far enough back that writing a pixel out never reaches a byte not yet read:
    // rows of three channels are shorter than the image's, and the gap grows row by row.
    const std::size_t total = bufferBytes(width, height, channels);
    ImageBuffer::Bytes buffer;
    if (ready.bytes && ready.size >= total) {
        buffer = std::move(ready.bytes);
    } else {
        buffer = ImageBuffer::bytes(total);
        if (!buffer)
            return {};
        prefault(buffer.get(), total);
    }
    std::uint8_t* in = buffer.get() + (total - inflated);

    const std::unique_ptr<libdeflate_decompressor, Deflater> inflater(
        libdeflate_alloc_decompressor());
    if (!inflater || libdeflate_zlib_decompress(inflater.get(), joined, joinedSize, in, inflated,
                                                nullptr) != LIBDEFLATE_SUCCESS)
        return {};

    const std::vector<std::uint32_t> none(width, 0);
    const std::uint32_t* above = none.data();
    for (std::uint32_t y = 0; y < height; ++y) {
        const std::uint8_t* row = in + y * rowIn;
        auto* out = reinterpret_cast<std::uint32_t*>(buffer.get() + y * rowOut);
        const bool known = channels == 4 ? unfilterRow<4>(row[0], row + 1, above, out, int(width))
                                         : unfilterRow<3>(row[0], row + 1, above, out, int(width));
        if (!known)
            return {};
        above = out;
    }

    return ImageBuffer::adopt(std::move(buffer), QSize(int(width), int(height)), qsizetype(rowOut),
                              QImage::Format_RGB32);
}

} // namespace kestrova
