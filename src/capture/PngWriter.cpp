#include "PngWriter.h"

#include "CaptureError.h"
#include "DeflateSplice.h"
#include "ImageBuffer.h"

#include <QFutureSynchronizer>
#include <QtConcurrent/QtConcurrentRun>
#include <QThread>

#include <libdeflate.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace kestrova {

namespace {

// The PNG filter types kestrova uses (3, "average", rarely wins on screen content).
enum FilterType : std::uint8_t { none = 0, sub = 1, up = 2, paeth = 4 };

struct CompressorDeleter {
    void operator()(libdeflate_compressor* c) const { libdeflate_free_compressor(c); }
};

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
void unpackRow(const QImage& image, int y, bool alpha, std::uint8_t* out) {
    const auto* px = reinterpret_cast<const QRgb*>(image.constScanLine(y));
    const int w = image.width();
    if (alpha) {
        for (int x = 0; x < w; ++x, out += 4) {
            out[0] = static_cast<std::uint8_t>(qRed(px[x]));
            out[1] = static_cast<std::uint8_t>(qGreen(px[x]));
            out[2] = static_cast<std::uint8_t>(qBlue(px[x]));
            out[3] = static_cast<std::uint8_t>(qAlpha(px[x]));
        }
        return;
    }
    for (int x = 0; x < w; ++x, out += 3) {
        out[0] = static_cast<std::uint8_t>(qRed(px[x]));
        out[1] = static_cast<std::uint8_t>(qGreen(px[x]));
        out[2] = static_cast<std::uint8_t>(qBlue(px[x]));
    }
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
        // Written without branches so that the compiler can vectorise it: the predictor
        // reads only the unfiltered bytes, so lanes do not depend on each other.
        for (std::size_t i = bpp; i < n; ++i) {
            const int a = cur[i - bpp], b = prev[i], c = prev[i - bpp];
            const int pa = std::abs(b - c), pb = std::abs(a - c), pc = std::abs(a + b - 2 * c);
            const int predicted = (pa <= pb && pa <= pc) ? a : (pb <= pc ? b : c);
            out[i] = static_cast<std::uint8_t>(cur[i] - predicted);
        }
        return;
    }
}

// How well a filtered row is likely to compress: the sum of its bytes read as signed
// magnitudes (smaller is better), the usual heuristic.
std::uint32_t cost(const std::uint8_t* row, std::size_t n) {
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < n; ++i)
        sum += static_cast<std::uint32_t>(std::abs(static_cast<std::int8_t>(row[i])));
    return sum;
}

// Filters rows [first, last) into `raw` (one filter byte, then the row, per row), the
// first of them at its start.
void filterRows(const QImage& image, bool alpha, PngWriter::Filter filter, int first, int last,
                std::uint8_t* raw) {
    const std::size_t bpp = alpha ? 4 : 3;
    const std::size_t n = std::size_t(image.width()) * bpp;
    std::vector<std::uint8_t> rows(3 * n, 0);
    std::uint8_t* prev = rows.data();
    std::uint8_t* cur = prev + n;
    std::uint8_t* trial = cur + n;
    if (first > 0)
        unpackRow(image, first - 1, alpha, prev);
    for (int y = first; y < last; ++y) {
        unpackRow(image, y, alpha, cur);
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
            // Try each; keep the cheapest in `out`, using `trial` for the others.
            filterRow(sub, cur, prev, n, bpp, out + 1);
            std::uint32_t best = cost(out + 1, n);
            chosen = sub;
            for (const FilterType t : {up, paeth}) {
                filterRow(t, cur, prev, n, bpp, trial);
                const std::uint32_t c = cost(trial, n);
                if (c < best) {
                    best = c;
                    chosen = t;
                    std::memcpy(out + 1, trial, n);
                }
            }
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

// A piece of the filtered rows, compressed on its own.
struct Piece {
    int first = 0; // rows [first, last)
    int last = 0;
    std::unique_ptr<std::uint8_t[]> bytes; // null when compressing failed
    std::size_t size = 0;
    std::uint32_t adler = 1; // of the piece's uncompressed bytes
};

// Compresses `size` bytes into `piece`; every piece but the last is made so that the
// next one can follow it in the same stream.
void compress(Piece& piece, libdeflate_compressor* compressor, const std::uint8_t* data,
              std::size_t size, bool last) {
    piece.adler = libdeflate_adler32(1, data, size);
    const std::size_t bound = libdeflate_deflate_compress_bound(compressor, size);
    auto out = std::make_unique_for_overwrite<std::uint8_t[]>(bound + DeflateSplice::growth);
    std::size_t packed = libdeflate_deflate_compress(compressor, data, size, out.get(), bound);
    if (packed != 0 && !last)
        packed = DeflateSplice::makeContinuable(out.get(), packed);
    if (packed == 0)
        return;
    piece.bytes = std::move(out);
    piece.size = packed;
}

// Cores to work on, and rows of `rowBytes` filtered bytes split into pieces of about
// `pieceBytes` each (or as many as asked), in order.
int coresFor(const PngWriter::Options& options) {
    return options.threads > 0 ? options.threads : std::max(1, QThread::idealThreadCount());
}

std::vector<Piece> piecesOf(int rows, std::size_t rowBytes, const PngWriter::Options& options) {
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

int tallest(const std::vector<Piece>& pieces) {
    int rows = 0;
    for (const Piece& piece : pieces)
        rows = std::max(rows, piece.last - piece.first);
    return rows;
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

// The PNG file around the compressed pieces, which are in order and cover every row.
Expected<QByteArray> assemble(const std::vector<Piece>& pieces, QSize size, bool alpha,
                              int dotsPerMeter) {
    const std::size_t rowBytes = std::size_t(size.width()) * (alpha ? 4 : 3) + 1;
    std::size_t packed = 2 + 4; // the zlib header and checksum around the pieces
    std::uint32_t adler = 1;
    for (const Piece& piece : pieces) {
        if (!piece.bytes)
            return CaptureError::make(CaptureError::Kind::encodeFailed);
        packed += piece.size;
        adler =
            combineAdler32(adler, piece.adler, rowBytes * std::size_t(piece.last - piece.first));
    }

    // Signature, IHDR, sRGB, pHYs, IDAT (one chunk: its length field holds up to
    // 2^31 - 1), IEND.
    constexpr std::size_t before = ChunkWriter::signatureBytes + ChunkWriter::bytes(13) +
                                   ChunkWriter::bytes(1) + ChunkWriter::bytes(9);
    constexpr std::size_t after = ChunkWriter::bytes(0);
    if (packed > 0x7fffffffu - before - ChunkWriter::bytes(0) - after)
        return CaptureError::make(CaptureError::Kind::encodeFailed);
    QByteArray file(qsizetype(before + ChunkWriter::bytes(packed) + after), Qt::Uninitialized);
    ChunkWriter chunks(reinterpret_cast<std::uint8_t*>(file.data()));

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

    // The zlib stream: its header (deflate, 32 KiB window, "fast" level, checked), the
    // pieces one after another, and the checksum of all the filtered rows.
    std::uint8_t* stream = chunks.data();
    const unsigned header = 0x7800u | (1u << 6);
    put16(stream, header + 31 - header % 31);
    std::uint8_t* at = stream + 2;
    for (const Piece& piece : pieces) {
        std::memcpy(at, piece.bytes.get(), piece.size);
        at += piece.size;
    }
    put32(at, adler);
    chunks.seal("IDAT", packed);
    chunks.seal("IEND", 0);
    return file;
}

} // namespace

Expected<QByteArray> PngWriter::encode(const QImage& image) {
    return encode(image, Options{});
}

Expected<QByteArray> PngWriter::encode(const QImage& source, const Options& options) {
    if (source.isNull())
        return CaptureError::make(CaptureError::Kind::encodeFailed);
    const bool alpha = source.hasAlphaChannel();
    const QImage::Format wanted = alpha ? QImage::Format_ARGB32 : QImage::Format_RGB32;
    const QImage image = source.format() == wanted ? source : source.convertToFormat(wanted);
    if (image.isNull())
        return CaptureError::make(CaptureError::Kind::encodeFailed);

    const int w = image.width();
    const int h = image.height();
    const std::size_t rowBytes = std::size_t(w) * (alpha ? 4 : 3) + 1;

    // Rows are independent once the row above is known, and deflate streams can be
    // spliced: pieces of rows are filtered and compressed on every core, each core taking
    // the next piece when done with one and reusing its memory for it (fresh memory is
    // slow to come by). Each piece starts without the history before it, which costs
    // little on pieces this size.
    const int cores = coresFor(options);
    std::vector<Piece> pieces = piecesOf(h, rowBytes, options);
    const int count = int(pieces.size());
    const int rowsPerPiece = tallest(pieces);
    std::atomic<std::size_t> next = 0;
    const auto work = [&] {
        const std::unique_ptr<libdeflate_compressor, CompressorDeleter> compressor(
            libdeflate_alloc_compressor(std::clamp(options.level, 1, 12)));
        const auto rows = ImageBuffer::bytes(rowBytes * std::size_t(rowsPerPiece));
        if (!compressor || !rows)
            return; // the other cores take the pieces; if none can, encoding fails
        for (std::size_t p; (p = next++) < pieces.size();) {
            Piece& piece = pieces[p];
            filterRows(image, alpha, options.filter, piece.first, piece.last, rows.get());
            compress(piece, compressor.get(), rows.get(),
                     rowBytes * std::size_t(piece.last - piece.first), p + 1 == pieces.size());
        }
    };
    {
        // Waits for every helper when it goes, however this block is left; one that has
        // not started by then finds no piece left.
        QFutureSynchronizer<void> helpers;
        for (int c = 1; c < std::min(cores, count); ++c)
            helpers.addFuture(QtConcurrent::run(work));
        work();
    }
    return assemble(pieces, image.size(), alpha, options.dotsPerMeter);
}

// Rows come in on the caller's thread and are copied into slots, a piece's worth each
// with the row above it; a full slot is filtered and compressed on Qt's pool. Slots, and
// the memory that goes with them, are reused as their pieces finish.
struct PngWriter::Stream::State {
    struct Slot {
        ImageBuffer::Bytes pixels;   // the row above the piece, then its rows
        ImageBuffer::Bytes filtered; // the piece's rows as the compressor takes them
        std::unique_ptr<libdeflate_compressor, CompressorDeleter> compressor;
        QFuture<void> done;
    };

    QSize size;
    Options options;
    std::vector<Piece> pieces;
    std::vector<Slot> ring;
    std::size_t pixelRowBytes = 0;
    std::size_t filteredRowBytes = 0;
    int rowsIn = 0;
    std::size_t current = 0; // the piece the next row belongs to
    bool failed = false;

    Slot& slotOf(std::size_t piece) { return ring[piece % ring.size()]; }
    std::uint8_t* pixelRow(Slot& slot, int inSlot) const {
        return slot.pixels.get() + pixelRowBytes * std::size_t(inSlot);
    }
    void waitForAll() {
        for (Slot& slot : ring)
            slot.done.waitForFinished();
    }
};

PngWriter::Stream::Stream(QSize size) : Stream(size, Options{}) {}

PngWriter::Stream::Stream(QSize size, const Options& options) : m_state(std::make_unique<State>()) {
    State& s = *m_state;
    s.size = size;
    s.options = options;
    if (size.isEmpty()) {
        s.failed = true;
        return;
    }
    s.pixelRowBytes = std::size_t(size.width()) * 4;
    s.filteredRowBytes = std::size_t(size.width()) * 3 + 1;
    s.pieces = piecesOf(size.height(), s.filteredRowBytes, options);
    const int rowsPerPiece = tallest(s.pieces);
    // Enough slots to keep every core busy while the next piece comes in.
    s.ring.resize(std::min(s.pieces.size(), std::size_t(coresFor(options)) + 1));
    for (State::Slot& slot : s.ring) {
        slot.pixels = ImageBuffer::bytes(s.pixelRowBytes * std::size_t(rowsPerPiece + 1));
        slot.filtered = ImageBuffer::bytes(s.filteredRowBytes * std::size_t(rowsPerPiece));
        slot.compressor.reset(libdeflate_alloc_compressor(std::clamp(options.level, 1, 12)));
        if (!slot.pixels || !slot.filtered || !slot.compressor)
            s.failed = true;
    }
}

PngWriter::Stream::~Stream() {
    m_state->waitForAll();
}

void PngWriter::Stream::add(const std::uint32_t* rows, int count) {
    State& s = *m_state;
    if (s.failed || count <= 0)
        return;
    if (count > s.size.height() - s.rowsIn) {
        s.failed = true;
        return;
    }
    for (int i = 0; i < count; ++i) {
        const int y = s.rowsIn++;
        if (y == s.pieces[s.current].last)
            ++s.current;
        const std::size_t p = s.current;
        Piece& piece = s.pieces[p];
        State::Slot& slot = s.slotOf(p);
        if (y == piece.first) {
            // The slot's last piece must be done with it; one not yet started is run here.
            slot.done.waitForFinished();
            // The row above the piece, which filters predict from; above the top row the
            // format has zeros.
            if (p > 0) {
                State::Slot& above = s.slotOf(p - 1);
                const Piece& before = s.pieces[p - 1];
                std::memcpy(s.pixelRow(slot, 0), s.pixelRow(above, before.last - before.first),
                            s.pixelRowBytes);
            } else {
                std::memset(s.pixelRow(slot, 0), 0, s.pixelRowBytes);
            }
        }
        std::memcpy(s.pixelRow(slot, y - piece.first + 1),
                    rows + std::size_t(i) * (s.pixelRowBytes / 4), s.pixelRowBytes);
        if (y + 1 < piece.last)
            continue;
        const bool last = p + 1 == s.pieces.size();
        const auto work = [&s, &slot, &piece, last] {
            const int rowsInPiece = piece.last - piece.first;
            const QImage pixels(s.pixelRow(slot, 0), s.size.width(), rowsInPiece + 1,
                                qsizetype(s.pixelRowBytes), QImage::Format_RGB32);
            filterRows(pixels, false, s.options.filter, 1, rowsInPiece + 1, slot.filtered.get());
            compress(piece, slot.compressor.get(), slot.filtered.get(),
                     s.filteredRowBytes * std::size_t(rowsInPiece), last);
        };
        // The caller would only wait for the last piece: it compresses it itself (a small
        // picture then never involves another thread).
        if (last)
            work();
        else
            slot.done = QtConcurrent::run(work);
    }
}

Expected<QByteArray> PngWriter::Stream::finish() {
    State& s = *m_state;
    s.waitForAll();
    if (s.failed || s.rowsIn != s.size.height())
        return CaptureError::make(CaptureError::Kind::encodeFailed);
    return assemble(s.pieces, s.size, false, s.options.dotsPerMeter);
}

} // namespace kestrova
