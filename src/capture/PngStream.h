#pragma once

#include "Expected.h"
#include "PngPieces.h"
#include "PngWriter.h"

#include <QByteArray>
#include <QSize>

#include <cstdint>
#include <memory>

namespace kestrova {

// An opaque picture encoded as PNG while its rows arrive, top first, as a display hands
// them over: the rows need not be kept, and their pieces are compressed on the other
// cores meanwhile.
class PngStream final {
public:
    explicit PngStream(QSize size);
    PngStream(QSize size, const PngWriter::Options& options);
    ~PngStream(); // waits for the pieces still being compressed
    PngStream(const PngStream&) = delete;
    PngStream& operator=(const PngStream&) = delete;

    // The next `count` rows: 32-bit pixels, the top byte ignored, packed.
    void add(const std::uint32_t* rows, int count);
    // The file, once every row has been added.
    Expected<QByteArray> finish();
    // The same handed to `put` a part at a time, never held whole: a file or a pipe
    // takes it without another screenshot's worth of fresh memory.
    [[nodiscard]] Status finishTo(const PngPieces::Put& put);

private:
    struct State;
    std::unique_ptr<State> m_state;
};

} // namespace kestrova
