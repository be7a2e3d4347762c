#pragma once

#include "Expected.h"
#include "PngPieces.h"
#include "PngWriter.h"

#include <QSize>

#include <cstdint>
#include <memory>

namespace kestrova {

// An opaque picture encoded as PNG while its rows arrive, top first, as a display hands
// them over: the rows need not be kept, and their pieces are compressed on the other
// cores meanwhile. The file goes to `put` a part at a time, never held whole.
class PngStream final {
public:
    // When the file goes out: once every row is in and every piece compressed, so that
    // whoever reads it never gets part of a picture; or each piece as soon as it and
    // those before it are done, into a file that is thrown away unless finished. That
    // takes the writing out of the wait at the end, and reuses the pieces' memory.
    enum class Delivery { whole, asDone };

    PngStream(QSize size, PngPieces::Put put, Delivery delivery = Delivery::whole);
    PngStream(QSize size, PngPieces::Put put, Delivery delivery, const PngWriter::Options& options);
    ~PngStream(); // waits for the pieces still being compressed
    PngStream(const PngStream&) = delete;
    PngStream& operator=(const PngStream&) = delete;

    // The next `count` rows: 32-bit pixels, the top byte ignored, packed.
    void add(const std::uint32_t* rows, int count);
    // The rest of the file, once every row has been added; an error when the picture
    // is not complete or `put` refused a part.
    [[nodiscard]] Status finish();

private:
    struct State;
    std::unique_ptr<State> m_state;
};

} // namespace kestrova
