#include "PngStream.h"

#include "CaptureError.h"
#include "HugePageBytes.h"
#include "PngPieces.h"

#include <QFuture>
#include <QtConcurrent/QtConcurrentRun>

#include <cstring>

namespace kestrova {

// Rows come in on the caller's thread and are copied into slots, a piece's worth each
// with the row above it; a full slot is filtered and compressed on Qt's pool. Slots, and
// the memory that goes with them, are reused as their pieces finish.
struct PngStream::State {
    struct Slot {
        HugePageBytes::Bytes pixels;   // the row above the piece, then its rows
        HugePageBytes::Bytes filtered; // the piece's rows as the compressor takes them
        PngPieces::Compressor compressor;
        QFuture<void> done;
    };

    QSize size;
    PngWriter::Options options;
    std::vector<PngPieces::Piece> pieces;
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

PngStream::PngStream(QSize size) : PngStream(size, PngWriter::Options{}) {}

PngStream::PngStream(QSize size, const PngWriter::Options& options)
    : m_state(std::make_unique<State>()) {
    State& s = *m_state;
    s.size = size;
    s.options = options;
    if (size.isEmpty()) {
        s.failed = true;
        return;
    }
    s.pixelRowBytes = std::size_t(size.width()) * 4;
    s.filteredRowBytes = std::size_t(size.width()) * 3 + 1;
    s.pieces = PngPieces::split(size.height(), s.filteredRowBytes, options);
    const int rowsPerPiece = PngPieces::tallest(s.pieces);
    // Enough slots to keep every core busy while the next piece comes in.
    s.ring.resize(std::min(s.pieces.size(), std::size_t(PngPieces::cores(options)) + 1));
    for (State::Slot& slot : s.ring) {
        slot.pixels = HugePageBytes::make(s.pixelRowBytes * std::size_t(rowsPerPiece + 1));
        slot.filtered = HugePageBytes::make(s.filteredRowBytes * std::size_t(rowsPerPiece));
        slot.compressor = PngPieces::compressor(options);
        if (!slot.pixels || !slot.filtered || !slot.compressor)
            s.failed = true;
    }
}

PngStream::~PngStream() {
    m_state->waitForAll();
}

void PngStream::add(const std::uint32_t* rows, int count) {
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
        PngPieces::Piece& piece = s.pieces[p];
        State::Slot& slot = s.slotOf(p);
        if (y == piece.first) {
            // The slot's last piece must be done with it; one not yet started is run here.
            slot.done.waitForFinished();
            // The row above the piece, which filters predict from; above the top row the
            // format has zeros.
            if (p > 0) {
                State::Slot& above = s.slotOf(p - 1);
                const PngPieces::Piece& before = s.pieces[p - 1];
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
            const PngPieces::Pixels pixels{s.pixelRow(slot, 0), s.pixelRowBytes, s.size.width()};
            PngPieces::filterRows(pixels, false, s.options.filter, 1, rowsInPiece + 1,
                                  slot.filtered.get());
            PngPieces::compress(piece, slot.compressor.get(), slot.filtered.get(),
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

Status PngStream::finishTo(const PngPieces::Put& put) {
    State& s = *m_state;
    s.waitForAll();
    if (s.failed || s.rowsIn != s.size.height())
        return CaptureError::make(CaptureError::Kind::encodeFailed);
    return PngPieces::write(s.pieces, s.size, false, s.options.dotsPerMeter, put);
}

Expected<QByteArray> PngStream::finish() {
    State& s = *m_state;
    s.waitForAll();
    if (s.failed || s.rowsIn != s.size.height())
        return CaptureError::make(CaptureError::Kind::encodeFailed);
    return PngPieces::assemble(s.pieces, s.size, false, s.options.dotsPerMeter);
}

} // namespace kestrova
