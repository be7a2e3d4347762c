#include "PngPieces.h"

#include "CaptureError.h"
#include "DeflateSplice.h"

#include <QThread>

#include <libdeflate.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

namespace kestrova {

namespace {

// The PNG filter types kestrova uses (3, "average", rarely wins on screen content).
enum FilterType : std::uint8_t { none = 0, sub = 1, up = 2, paeth = 4 };

void put16(std::uint8_t* at, unsigned v) {
    at[0] = static_cast<std::uint8_t>(v >> 8);
    at[1] = static_cast<std::uint8_t>(v);
}

void put32(std::uint8_t* at, std::uint32_t v) {
    at[0] = static_cast<std::uint8_t>(v >> 24);
    at[1] = static_cast<std::uint8_t>(v >> 16);
    at[2] = static_cast<std::uint8_t>(v >> 8);
    at[3] = static_cast<std::uint8_t>(v);
}

// Lays PNG chunks out one after another in memory sized in advance: each chunk's data
// is written in place (or compressed straight into it), then sealed with its length
// before it and its CRC after it.
class ChunkWriter final {
public:
    static constexpr std::size_t signatureBytes = 8;
    // The whole size of a chunk with `data` bytes of data.
    static constexpr std::size_t bytes(std::size_t data) { return 4 + 4 + data + 4; }

    explicit ChunkWriter(std::uint8_t* out) : m_out(out) {
        constexpr std::uint8_t signature[signatureBytes] = {0x89, 'P',  'N',  'G',
                                                            '\r', '\n', 0x1a, '\n'};
        std::memcpy(m_out, signature, signatureBytes);
        m_size = signatureBytes;
    }
    // Chunks that follow others.
    enum NoSignature { noSignature };
    ChunkWriter(std::uint8_t* out, NoSignature) : m_out(out) {}
    // Where the next chunk's data goes.
    std::uint8_t* data() const { return m_out + m_size + 8; }
    // Seals the next chunk, of this type, whose `length` bytes of data are in place.
    void seal(const char (&type)[5], std::size_t length) {
        std::uint8_t* chunk = m_out + m_size;
        put32(chunk, static_cast<std::uint32_t>(length));
        std::memcpy(chunk + 4, type, 4);
        put32(chunk + 8 + length, libdeflate_crc32(0, chunk + 4, length + 4));
        m_size += bytes(length);
    }
    std::size_t size() const { return m_size; }

private:
    std::uint8_t* m_out;
    std::size_t m_size = 0;
};

// One row's pixels as PNG bytes: RGB or RGBA, 8 bits each, straight alpha.
void unpackRow(const PngPieces::Pixels& pixels, int y, bool alpha, std::uint8_t* out) {
    const auto* px =
        reinterpret_cast<const std::uint32_t*>(pixels.bits + pixels.stride * std::size_t(y));
    const int w = pixels.width;
    if (alpha) {
        for (int x = 0; x < w; ++x, out += 4) {
            out[0] = static_cast<std::uint8_t>(px[x] >> 16);
            out[1] = static_cast<std::uint8_t>(px[x] >> 8);
            out[2] = static_cast<std::uint8_t>(px[x]);
            out[3] = static_cast<std::uint8_t>(px[x] >> 24);
        }
        return;
    }
    for (int x = 0; x < w; ++x, out += 3) {
        out[0] = static_cast<std::uint8_t>(px[x] >> 16);
        out[1] = static_cast<std::uint8_t>(px[x] >> 8);
        out[2] = static_cast<std::uint8_t>(px[x]);
    }
}

// The byte paeth predicts from the one to the left (a), above (b) and above left (c).
// Without branches, in 16-bit lanes (wide enough for its sums), so that the compiler can
// vectorise the loops around it: it reads only unfiltered bytes, so lanes do not depend
// on each other.
inline std::int16_t paethPredictor(std::int16_t a, std::int16_t b, std::int16_t c) {
    const auto pa = static_cast<std::int16_t>(std::abs(b - c));
    const auto pb = static_cast<std::int16_t>(std::abs(a - c));
    const auto pc = static_cast<std::int16_t>(std::abs(a + b - 2 * c));
    return (pa <= pb && pa <= pc) ? a : (pb <= pc ? b : c);
}

// Filters `cur` (above it `prev`) with one filter type into `out`.
void filterRow(FilterType type, const std::uint8_t* cur, const std::uint8_t* prev, std::size_t n,
               std::size_t bpp, std::uint8_t* out) {
    switch (type) {
    case none:
        std::memcpy(out, cur, n);
        return;
    case sub:
        std::memcpy(out, cur, bpp);
        for (std::size_t i = bpp; i < n; ++i)
            out[i] = static_cast<std::uint8_t>(cur[i] - cur[i - bpp]);
        return;
    case up:
        for (std::size_t i = 0; i < n; ++i)
            out[i] = static_cast<std::uint8_t>(cur[i] - prev[i]);
        return;
    case paeth:
        for (std::size_t i = 0; i < bpp; ++i)
            out[i] = static_cast<std::uint8_t>(cur[i] - prev[i]);
        for (std::size_t i = bpp; i < n; ++i)
            out[i] = static_cast<std::uint8_t>(
                cur[i] - paethPredictor(cur[i - bpp], prev[i], prev[i - bpp]));
        return;
    }
}

// How well a filtered byte is likely to compress: its magnitude read as signed (the
// smaller the sum over a row, the better), the usual heuristic.
inline std::uint32_t cost(std::uint8_t filtered) {
    return static_cast<std::uint32_t>(std::abs(static_cast<std::int8_t>(filtered)));
}

// Where the compiler can, this is built a second time for AVX2 and picked when the
// processor has it: twice the bytes per step.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define KESTROVA_ALSO_FOR_AVX2 __attribute__((target_clones("avx2", "default")))
#else
#define KESTROVA_ALSO_FOR_AVX2
#endif

// Filters `cur` (above it `prev`) with sub, up and paeth in one pass, into `toSub`,
// `toUp` and `toPaeth`, and adds up each one's cost. One pass reads the rows once, and
// lets the compiler vectorise all three at once.
KESTROVA_ALSO_FOR_AVX2
void filterAll(const std::uint8_t* __restrict cur, const std::uint8_t* __restrict prev,
               std::size_t n, std::size_t bpp, std::uint8_t* __restrict toSub,
               std::uint8_t* __restrict toUp, std::uint8_t* __restrict toPaeth,
               std::array<std::uint32_t, 3>& costs) {
    std::uint32_t costSub = 0, costUp = 0, costPaeth = 0;
    for (std::size_t i = 0; i < bpp; ++i) {
        toSub[i] = cur[i];
        toUp[i] = toPaeth[i] = static_cast<std::uint8_t>(cur[i] - prev[i]);
        costSub += cost(toSub[i]);
        costUp += cost(toUp[i]);
        costPaeth += cost(toPaeth[i]);
    }
    for (std::size_t i = bpp; i < n; ++i) {
        const std::uint8_t x = cur[i], a = cur[i - bpp], b = prev[i], c = prev[i - bpp];
        toSub[i] = static_cast<std::uint8_t>(x - a);
        toUp[i] = static_cast<std::uint8_t>(x - b);
        toPaeth[i] = static_cast<std::uint8_t>(x - paethPredictor(a, b, c));
        costSub += cost(toSub[i]);
        costUp += cost(toUp[i]);
        costPaeth += cost(toPaeth[i]);
    }
    costs = {costSub, costUp, costPaeth};
}

// The Adler-32 of two pieces one after the other, from theirs and the second's length.
std::uint32_t combineAdler32(std::uint32_t first, std::uint32_t second, std::size_t secondLength) {
    constexpr std::uint64_t base = 65521;
    const std::uint64_t n = secondLength % base;
    const std::uint64_t a1 = first & 0xffff, b1 = first >> 16;
    const std::uint64_t a2 = second & 0xffff, b2 = second >> 16;
    // a = a1 + a2 - 1; b = b1 + b2 + n * (a1 - 1), all mod base.
    const std::uint64_t a = (a1 + a2 + base - 1) % base;
    const std::uint64_t b = (b1 + b2 + n * ((a1 + base - 1) % base)) % base;
    return std::uint32_t((b << 16) | a);
}

// Signature, IHDR, sRGB and pHYs; IEND.
constexpr std::size_t headBytes = ChunkWriter::signatureBytes + ChunkWriter::bytes(13) +
                                  ChunkWriter::bytes(1) + ChunkWriter::bytes(9);
constexpr std::size_t endBytes = ChunkWriter::bytes(0);
// What an IDAT chunk adds around its part of the stream; the zlib header before the
// first part and its checksum after the last.
constexpr std::size_t idatBytes = ChunkWriter::bytes(0);
constexpr std::size_t zlibBytes = 2 + 4;

} // namespace

void PngPieces::filterRows(const Pixels& pixels, bool alpha, PngWriter::Filter filter, int first,
                           int last, std::uint8_t* raw) {
    const std::size_t bpp = alpha ? 4 : 3;
    const std::size_t n = std::size_t(pixels.width) * bpp;
    std::vector<std::uint8_t> rows(4 * n, 0);
    std::uint8_t* prev = rows.data();
    std::uint8_t* cur = prev + n;
    std::uint8_t* toUp = cur + n;
    std::uint8_t* toPaeth = toUp + n;
    if (first > 0)
        unpackRow(pixels, first - 1, alpha, prev);
    for (int y = first; y < last; ++y) {
        unpackRow(pixels, y, alpha, cur);
        std::uint8_t* out = raw + std::size_t(y - first) * (n + 1);
        FilterType chosen = none;
        switch (filter) {
        case PngWriter::Filter::none:
            break;
        case PngWriter::Filter::sub:
            chosen = sub;
            break;
        case PngWriter::Filter::up:
            chosen = up;
            break;
        case PngWriter::Filter::paeth:
            chosen = paeth;
            break;
        case PngWriter::Filter::adaptive: {
            // All three at once; keep the cheapest in `out` (sub on a tie, then up).
            std::array<std::uint32_t, 3> costs;
            filterAll(cur, prev, n, bpp, out + 1, toUp, toPaeth, costs);
            chosen = sub;
            if (costs[1] < costs[0])
                chosen = up;
            if (costs[2] < std::min(costs[0], costs[1]))
                chosen = paeth;
            if (chosen != sub)
                std::memcpy(out + 1, chosen == up ? toUp : toPaeth, n);
            out[0] = chosen;
            std::swap(prev, cur);
            continue;
        }
        }
        out[0] = chosen;
        filterRow(chosen, cur, prev, n, bpp, out + 1);
        std::swap(prev, cur);
    }
}

std::size_t PngPieces::bound(libdeflate_compressor* compressor, std::size_t size) {
    return libdeflate_deflate_compress_bound(compressor, size) + DeflateSplice::growth;
}

void PngPieces::compress(Piece& piece, libdeflate_compressor* compressor, const std::uint8_t* data,
                         std::size_t size, bool last) {
    const std::size_t room = bound(compressor, size);
    std::unique_ptr<std::uint8_t[]> out(new (std::nothrow) std::uint8_t[room]);
    if (out && compressInto(piece, compressor, data, size, last, out.get(), room) != 0)
        piece.bytes = std::move(out);
}

std::size_t PngPieces::compressInto(Piece& piece, libdeflate_compressor* compressor,
                                    const std::uint8_t* data, std::size_t size, bool last,
                                    std::uint8_t* out, std::size_t room) {
    piece.adler = libdeflate_adler32(1, data, size);
    if (room < DeflateSplice::growth)
        return 0;
    std::size_t packed =
        libdeflate_deflate_compress(compressor, data, size, out, room - DeflateSplice::growth);
    if (packed != 0 && !last)
        packed = DeflateSplice::makeContinuable(out, packed);
    piece.size = packed;
    return packed;
}

void PngPieces::CompressorDeleter::operator()(libdeflate_compressor* c) const {
    libdeflate_free_compressor(c);
}

PngPieces::Compressor PngPieces::compressor(const PngWriter::Options& options) {
    return Compressor(libdeflate_alloc_compressor(std::clamp(options.level, 1, 12)));
}

int PngPieces::cores(const PngWriter::Options& options) {
    return options.threads > 0 ? options.threads : std::max(1, QThread::idealThreadCount());
}

std::vector<PngPieces::Piece> PngPieces::split(int rows, std::size_t rowBytes,
                                               const PngWriter::Options& options) {
    const int asked =
        options.pieces > 0
            ? options.pieces
            : int(std::max<std::size_t>(rowBytes * std::size_t(rows) / PngWriter::pieceBytes, 1));
    const int count = std::clamp(asked, 1, rows);
    std::vector<Piece> pieces(static_cast<std::size_t>(count));
    for (int p = 0; p < count; ++p) {
        pieces[std::size_t(p)].first = int(std::int64_t(rows) * p / count);
        pieces[std::size_t(p)].last = int(std::int64_t(rows) * (p + 1) / count);
    }
    return pieces;
}

int PngPieces::tallest(const std::vector<Piece>& pieces) {
    int rows = 0;
    for (const Piece& piece : pieces)
        rows = std::max(rows, piece.last - piece.first);
    return rows;
}

namespace {

bool putHead(const PngPieces::Put& put, QSize size, bool alpha, int dotsPerMeter) {
    std::array<std::uint8_t, headBytes> head;
    ChunkWriter chunks(head.data());
    std::uint8_t* ihdr = chunks.data();
    put32(ihdr, static_cast<std::uint32_t>(size.width()));
    put32(ihdr + 4, static_cast<std::uint32_t>(size.height()));
    ihdr[8] = 8;                        // bits per channel
    ihdr[9] = alpha ? 6 : 2;            // RGBA or RGB
    ihdr[10] = ihdr[11] = ihdr[12] = 0; // deflate, standard filters, no interlace
    chunks.seal("IHDR", 13);

    // The display's pixels, as every desktop treats them: sRGB, perceptual intent.
    chunks.data()[0] = 0;
    chunks.seal("sRGB", 1);

    std::uint8_t* phys = chunks.data();
    const auto dpm = static_cast<std::uint32_t>(std::max(1, dotsPerMeter));
    put32(phys, dpm);
    put32(phys + 4, dpm);
    phys[8] = 1; // per metre
    chunks.seal("pHYs", 9);
    return put(head.data(), head.size());
}

// Each piece is an IDAT chunk of its own, so that it can go out as soon as it is done,
// before the size of the whole is known. The zlib stream runs through them: its header
// (deflate, 32 KiB window, "fast" level, checked) before the first piece, the checksum
// of all the filtered rows after the last.
bool putPiece(const PngPieces::Put& put, const PngPieces::Piece& piece, const std::uint8_t* bytes,
              bool first, bool last, std::uint32_t adler) {
    const std::size_t length = piece.size + (first ? 2 : 0) + (last ? 4 : 0);
    // A chunk's length field holds up to 2^31 - 1.
    if (piece.size == 0 || length > 0x7fffffffu)
        return false;
    std::uint8_t before[8 + 2];
    put32(before, static_cast<std::uint32_t>(length));
    std::memcpy(before + 4, "IDAT", 4);
    const unsigned header = 0x7800u | (1u << 6);
    put16(before + 8, header + 31 - header % 31);
    const std::size_t beforeBytes = first ? 10 : 8;
    std::uint8_t after[4 + 4];
    std::size_t afterBytes = 0;
    if (last) {
        put32(after, adler);
        afterBytes = 4;
    }
    std::uint32_t crc = libdeflate_crc32(0, before + 4, beforeBytes - 4);
    crc = libdeflate_crc32(crc, bytes, piece.size);
    crc = libdeflate_crc32(crc, after, afterBytes);
    put32(after + afterBytes, crc);
    afterBytes += 4;
    return put(before, beforeBytes) && put(bytes, piece.size) && put(after, afterBytes);
}

bool putEnd(const PngPieces::Put& put) {
    std::array<std::uint8_t, endBytes> end;
    ChunkWriter(end.data(), ChunkWriter::noSignature).seal("IEND", 0);
    return put(end.data(), end.size());
}

} // namespace

PngPieces::FileOut::FileOut(Put put, QSize size, bool alpha, int dotsPerMeter, std::size_t pieces)
    : m_put(std::move(put)), m_size(size), m_alpha(alpha), m_dotsPerMeter(dotsPerMeter),
      m_pieces(pieces) {}

bool PngPieces::FileOut::piece(const Piece& piece, const std::uint8_t* bytes) {
    if (!bytes)
        bytes = piece.bytes.get();
    const bool first = m_given == 0;
    const bool last = m_given + 1 == m_pieces;
    const std::size_t rowBytes = std::size_t(m_size.width()) * (m_alpha ? 4 : 3) + 1;
    m_adler =
        combineAdler32(m_adler, piece.adler, rowBytes * std::size_t(piece.last - piece.first));
    m_failed = m_failed || m_given >= m_pieces || !bytes ||
               (first && !putHead(m_put, m_size, m_alpha, m_dotsPerMeter)) ||
               !putPiece(m_put, piece, bytes, first, last, m_adler);
    ++m_given;
    return !m_failed;
}

bool PngPieces::FileOut::end() {
    m_failed = m_failed || m_given != m_pieces || !putEnd(m_put);
    return !m_failed;
}

std::size_t PngPieces::fileSize(const std::vector<Piece>& pieces) {
    std::size_t size = headBytes + zlibBytes + endBytes;
    for (const Piece& piece : pieces)
        size += idatBytes + piece.size;
    return size;
}

PngPieces::Put PngPieces::appendTo(QByteArray& file) {
    return [&file](const std::uint8_t* data, std::size_t length) {
        file.append(reinterpret_cast<const char*>(data), qsizetype(length));
        return true;
    };
}

Expected<QByteArray> PngPieces::assemble(const std::vector<Piece>& pieces, QSize size, bool alpha,
                                         int dotsPerMeter) {
    QByteArray file;
    file.reserve(qsizetype(fileSize(pieces)));
    FileOut out(appendTo(file), size, alpha, dotsPerMeter, pieces.size());
    for (const Piece& piece : pieces)
        if (!out.piece(piece))
            return CaptureError::make(CaptureError::Kind::encodeFailed);
    if (!out.end())
        return CaptureError::make(CaptureError::Kind::encodeFailed);
    return file;
}

} // namespace kestrova
