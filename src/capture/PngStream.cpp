#include "PngStream.h"

#include "CaptureError.h"
#include "PngPieces.h"

#include <QFuture>
#include <QtConcurrent/QtConcurrentRun>

#include <algorithm>
#include <cstring>
#include <new>

namespace kestrova {

// Rows come in on the caller's thread and are copied into slots, a piece's worth each
// with the row above it; a full slot is filtered and compressed on Qt's pool. Slots, and
// the memory that goes with them, are reused as their pieces finish. Pieces go out on
// the caller's thread too, in order.
struct PngStream::State {
    // A slot's memory is about a megabyte for each of its parts, in small pages: a
    // process that starts after a pause gets huge pages cleared many times slower
    // than the few hundred small ones it actually touches.
    struct Slot {
        std::unique_ptr<std::uint8_t[]> memory;
        std::uint8_t* pixels = nullptr;   // the row above the piece, then its rows
        std::uint8_t* filtered = nullptr; // the piece's rows as the compressor takes them
        std::uint8_t* packed = nullptr;   // delivered as done: the piece compressed
        std::size_t room = 0;
        PngPieces::Compressor compressor;
        QFuture<void> done;
    };

    QSize size;
    Delivery delivery;
    PngWriter::Options options;
    std::size_t pixelRowBytes;
    std::size_t filteredRowBytes;
    std::vector<PngPieces::Piece> pieces;
    PngPieces::FileOut out;
    std::vector<Slot> ring;
    int rowsIn = 0;
    std::size_t current = 0; // the piece the next row belongs to
    std::size_t started = 0; // pieces whose compressing has begun
    bool failed = false;

    State(QSize size, PngPieces::Put put, Delivery delivery, const PngWriter::Options& options)
        : size(size), delivery(delivery), options(options),
          pixelRowBytes(std::size_t(std::max(size.width(), 0)) * 4),
          filteredRowBytes(std::size_t(std::max(size.width(), 0)) * 3 + 1),
          pieces(size.isEmpty() ? std::vector<PngPieces::Piece>{}
                                : PngPieces::split(size.height(), filteredRowBytes, options)),
          out(std::move(put), size, false, options.dotsPerMeter, pieces.size()) {}

    Slot& slotOf(std::size_t piece) { return ring[piece % ring.size()]; }
    std::uint8_t* pixelRow(Slot& slot, int inSlot) const {
        return slot.pixels + pixelRowBytes * std::size_t(inSlot);
    }
    void waitForAll() {
        for (Slot& slot : ring)
            slot.done.waitForFinished();
    }
    // Hands over, in order, the pieces that are done, waiting for those before `upTo`.
    void writeOut(std::size_t upTo) {
        while (!failed && out.given() < started) {
            const std::size_t p = out.given();
            Slot& slot = slotOf(p);
            if (p >= upTo && !slot.done.isFinished())
                return;
            slot.done.waitForFinished();
            failed = !out.piece(pieces[p], pieces[p].bytes ? nullptr : slot.packed);
        }
    }
};

PngStream::PngStream(QSize size, PngPieces::Put put, Delivery delivery)
    : PngStream(size, std::move(put), delivery, PngWriter::Options{}) {}

PngStream::PngStream(QSize size, PngPieces::Put put, Delivery delivery,
                     const PngWriter::Options& options)
    : m_state(std::make_unique<State>(size, std::move(put), delivery, options)) {
    State& s = *m_state;
    if (size.isEmpty()) {
        s.failed = true;
        return;
    }
    const int rowsPerPiece = PngPieces::tallest(s.pieces);
    // Enough slots to keep every core busy while the next piece comes in.
    s.ring.resize(std::min(s.pieces.size(), std::size_t(PngPieces::cores(options)) + 1));
    const std::size_t pixelBytes = s.pixelRowBytes * std::size_t(rowsPerPiece + 1);
    const std::size_t filteredBytes = s.filteredRowBytes * std::size_t(rowsPerPiece);
    for (State::Slot& slot : s.ring) {
        slot.compressor = PngPieces::compressor(options);
        if (!slot.compressor) {
            s.failed = true;
            continue;
        }
        if (delivery == Delivery::asDone)
            slot.room = PngPieces::bound(slot.compressor.get(), filteredBytes);
        slot.memory.reset(new (std::nothrow) std::uint8_t[pixelBytes + filteredBytes + slot.room]);
        if (!slot.memory) {
            s.failed = true;
            continue;
        }
        slot.pixels = slot.memory.get();
        slot.filtered = slot.pixels + pixelBytes;
        slot.packed = slot.room != 0 ? slot.filtered + filteredBytes : nullptr;
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
    const bool asDone = s.delivery == Delivery::asDone;
    for (int i = 0; i < count; ++i) {
        const int y = s.rowsIn++;
        if (y == s.pieces[s.current].last)
            ++s.current;
        const std::size_t p = s.current;
        PngPieces::Piece& piece = s.pieces[p];
        State::Slot& slot = s.slotOf(p);
        if (y == piece.first) {
            // The slot's last piece must be done with it, and out when its compressed
            // bytes are the slot's; one not yet started is run here.
            if (asDone && p >= s.ring.size())
                s.writeOut(p - s.ring.size() + 1);
            slot.done.waitForFinished();
            if (s.failed)
                return;
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
        const auto work = [&s, &slot, &piece, last, asDone] {
            const int rowsInPiece = piece.last - piece.first;
            const PngPieces::Pixels pixels{s.pixelRow(slot, 0), s.pixelRowBytes, s.size.width()};
            PngPieces::filterRows(pixels, false, s.options.filter, 1, rowsInPiece + 1,
                                  slot.filtered);
            const std::size_t size = s.filteredRowBytes * std::size_t(rowsInPiece);
            if (asDone)
                PngPieces::compressInto(piece, slot.compressor.get(), slot.filtered, size, last,
                                        slot.packed, slot.room);
            else
                PngPieces::compress(piece, slot.compressor.get(), slot.filtered, size, last);
        };
        ++s.started;
        // The caller would only wait for the last piece: it compresses it itself (a small
        // picture then never involves another thread).
        if (last)
            work();
        else
            slot.done = QtConcurrent::run(work);
        if (asDone)
            s.writeOut(0);
    }
}

Status PngStream::finish() {
    State& s = *m_state;
    s.waitForAll();
    bool whole = !s.failed && s.rowsIn == s.size.height();
    // A piece that failed to compress fails the file before any more of it goes out.
    for (std::size_t p = s.out.given(); whole && p < s.pieces.size(); ++p)
        whole = s.pieces[p].size != 0;
    if (whole)
        s.writeOut(s.pieces.size());
    if (!whole || s.failed || !s.out.end())
        return CaptureError::make(CaptureError::Kind::encodeFailed);
    return std::nullopt;
}

} // namespace kestrova
