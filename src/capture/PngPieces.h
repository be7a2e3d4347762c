#pragma once

#include "Expected.h"
#include "PngWriter.h"

#include <QByteArray>
#include <QSize>

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

struct libdeflate_compressor;

namespace kestrova {

// What kestrova's PNG encoders share: rows of pixels filtered and compressed in pieces,
// the pieces' streams spliced into one, and the file around it. Free of Qt's graphics,
// so that a process that only writes a screenshot loads none of them.
class PngPieces final {
public:
    // 32-bit pixels as QRgb holds them (0xAARRGGBB), rows `stride` bytes apart.
    struct Pixels {
        const std::uint8_t* bits = nullptr;
        std::size_t stride = 0;
        int width = 0;
    };

    // A piece of the filtered rows, compressed on its own.
    struct Piece {
        int first = 0; // rows [first, last)
        int last = 0;
        std::unique_ptr<std::uint8_t[]> bytes; // its own, if it has them
        std::size_t size = 0;                  // 0 when compressing failed
        std::uint32_t adler = 1;               // of the piece's uncompressed bytes
    };

    struct CompressorDeleter {
        void operator()(libdeflate_compressor* c) const;
    };
    using Compressor = std::unique_ptr<libdeflate_compressor, CompressorDeleter>;
    static Compressor compressor(const PngWriter::Options& options);

    // Cores to work on.
    static int cores(const PngWriter::Options& options);
    // Rows of `rowBytes` filtered bytes split into pieces of about `pieceBytes` each (or
    // as many as asked), in order.
    static std::vector<Piece> split(int rows, std::size_t rowBytes,
                                    const PngWriter::Options& options);
    static int tallest(const std::vector<Piece>& pieces);

    // Filters rows [first, last) of `pixels` into `raw` (one filter byte, then the row,
    // per row), the first of them at its start.
    static void filterRows(const Pixels& pixels, bool alpha, PngWriter::Filter filter, int first,
                           int last, std::uint8_t* raw);
    // Compresses `size` bytes into `piece`; every piece but the last is made so that the
    // next one can follow it in the same stream.
    static void compress(Piece& piece, libdeflate_compressor* compressor, const std::uint8_t* data,
                         std::size_t size, bool last);
    // The same into `room` bytes at `out`, which the piece does not own; returns the
    // size (also the piece's), 0 when it failed. `bound` is the room that always does.
    static std::size_t compressInto(Piece& piece, libdeflate_compressor* compressor,
                                    const std::uint8_t* data, std::size_t size, bool last,
                                    std::uint8_t* out, std::size_t room);
    static std::size_t bound(libdeflate_compressor* compressor, std::size_t size);

    // The PNG file is handed to a `Put` a part at a time; false from it stops the writing.
    using Put = std::function<bool(const std::uint8_t* data, std::size_t size)>;

    // Writes the file around pieces given in order, each as soon as it is done: the head
    // before the first, each piece an IDAT chunk of its own, the checksum of all the
    // filtered rows with the last, then the end. Once `put` refuses a part, or a piece
    // failed to compress, nothing more goes out.
    class FileOut final {
    public:
        FileOut(Put put, QSize size, bool alpha, int dotsPerMeter, std::size_t pieces);
        // The piece's compressed bytes are `bytes`, or its own when null.
        bool piece(const Piece& piece, const std::uint8_t* bytes = nullptr);
        // After the last piece.
        bool end();
        std::size_t given() const { return m_given; }

    private:
        Put m_put;
        QSize m_size;
        bool m_alpha = false;
        int m_dotsPerMeter = 0;
        std::size_t m_pieces = 0;
        std::size_t m_given = 0;
        std::uint32_t m_adler = 1;
        bool m_failed = false;
    };

    // The whole file around pieces that are in order, cover every row and own their bytes.
    static Expected<QByteArray> assemble(const std::vector<Piece>& pieces, QSize size, bool alpha,
                                         int dotsPerMeter);
    // A `Put` that appends to `file`.
    static Put appendTo(QByteArray& file);
    static std::size_t fileSize(const std::vector<Piece>& pieces);
};

} // namespace kestrova
