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
// the memory that goes with them, are reused as their pieces finish. Pieces go out on
// the caller's thread too, in order.
struct PngStream::State {
    struct Slot {
        HugePageBytes::Bytes pixels;   // the row above the piece, then its rows
        HugePageBytes::Bytes filtered; // the piece's rows as the compressor takes them
        HugePageBytes::Bytes packed;   // the piece compressed
        std::size_t room = 0;
        PngPieces::Compressor compressor;
        QFuture<void> done;
    };

    QSize size;
    PngPieces::Put put;
    Delivery delivery = Delivery::whole;
    PngWriter::Options options;
    std::vector<PngPieces::Piece> pieces;
    std::vector<Slot> ring;
    std::size_t pixelRowBytes = 0;
    std::size_t filteredRowBytes = 0;
    int rowsIn = 0;
    std::size_t current = 0; // the piece the next row belongs to
    std::size_t started = 0; // pieces whose compressing has begun
    std::size_t written = 0; // pieces handed to `put`
    std::uint32_t adler = 1; // of the filtered rows written
    bool failed = false;

    Slot& slotOf(std::size_t piece) { return ring[piece % ring.size()]; }
    bool mayWrite() const { return delivery == Delivery::asDone || rowsIn == size.height(); }
    std::uint8_t* pixelRow(Slot& slot, int inSlot) const {
        return slot.pixels.get() + pixelRowBytes * std::size_t(inSlot);
    }
    void waitForAll() {
        for (Slot& slot : ring)
            slot.done.waitForFinished();
    }
    // Hands over, in order, the pieces that are done, waiting for those before `upTo`;
    // from its slot, or from its own copy.
    void writeOut(std::size_t upTo) {
        while (!failed && written < started) {
            const PngPieces::Piece& piece = pieces[written];
            // A piece copied out of its slot is done, and the slot may be another's.
            Slot& slot = slotOf(written);
            if (!piece.bytes) {
                if (written >= upTo && !slot.done.isFinished())
                    return;
                slot.done.waitForFinished();
            }
            const bool first = written == 0;
            const bool last = written + 1 == pieces.size();
            adler = PngPieces::adlerAfter(adler, piece, filteredRowBytes);
            failed = (first && !PngPieces::putHead(put, size, false, options.dotsPerMeter)) ||
                     !PngPieces::putPiece(put, piece,
                                          piece.bytes ? piece.bytes.get() : slot.packed.get(),
                                          first, last, adler);
            ++written;
        }
    }
};

PngStream::PngStream(QSize size, PngPieces::Put put, Delivery delivery)
    : PngStream(size, std::move(put), delivery, PngWriter::Options{}) {}

PngStream::PngStream(QSize size, PngPieces::Put put, Delivery delivery,
                     const PngWriter::Options& options)
    : m_state(std::make_unique<State>()) {
    State& s = *m_state;
    s.size = size;
    s.put = std::move(put);
    s.delivery = delivery;
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
        if (slot.compressor)
            slot.room = PngPieces::bound(slot.compressor.get(),
                                         s.filteredRowBytes * std::size_t(rowsPerPiece));
        slot.packed = HugePageBytes::make(slot.room);
        if (!slot.pixels || !slot.filtered || !slot.compressor || !slot.packed)
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
            // The slot's last piece must be done with it, and out or copied out of it.
            if (p >= s.ring.size()) {
                const std::size_t old = p - s.ring.size();
                if (s.mayWrite())
                    s.writeOut(old + 1);
                slot.done.waitForFinished();
                if (s.written <= old) {
                    PngPieces::Piece& held = s.pieces[old];
                    held.bytes.reset(new (std::nothrow) std::uint8_t[held.size]);
                    if (held.bytes)
                        std::memcpy(held.bytes.get(), slot.packed.get(), held.size);
                    else
                        s.failed = true;
                }
            }
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
        const auto work = [&s, &slot, &piece, last] {
            const int rowsInPiece = piece.last - piece.first;
            const PngPieces::Pixels pixels{s.pixelRow(slot, 0), s.pixelRowBytes, s.size.width()};
            PngPieces::filterRows(pixels, false, s.options.filter, 1, rowsInPiece + 1,
                                  slot.filtered.get());
            PngPieces::compressInto(piece, slot.compressor.get(), slot.filtered.get(),
                                    s.filteredRowBytes * std::size_t(rowsInPiece), last,
                                    slot.packed.get(), slot.room);
        };
        ++s.started;
        // A picture of one piece never involves another thread. Otherwise the caller
        // hands pieces over while the last ones are compressed.
        if (s.pieces.size() == 1)
            work();
        else
            slot.done = QtConcurrent::run(work);
        if (s.mayWrite())
            s.writeOut(0);
    }
}

Status PngStream::finish() {
    State& s = *m_state;
    // Nothing goes out of a picture whose rows are not all in.
    if (!s.failed && s.rowsIn == s.size.height())
        s.writeOut(s.pieces.size());
    s.waitForAll();
    if (s.failed || s.written != s.pieces.size() || !PngPieces::putEnd(s.put))
        return CaptureError::make(CaptureError::Kind::encodeFailed);
    return std::nullopt;
}

} // namespace kestrova
