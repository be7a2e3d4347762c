#pragma once

#include <cstddef>
#include <cstdint>

namespace kestrova {

// Raw deflate streams compressed apart (one per core) read as one stream when each but
// the last is made to end the way a flushed stream does: its last block no longer marked
// final, then an empty stored block that brings it to a whole byte.
class DeflateSplice final {
public:
    // Bytes a stream may grow by when made continuable; leave this much room after it.
    static constexpr std::size_t growth = 5;

    // Rewrites the complete raw deflate stream in data[0, size) in place to end that way.
    // Returns its new size, or 0 when the stream is not a complete, valid one.
    static std::size_t makeContinuable(std::uint8_t* data, std::size_t size);
};

} // namespace kestrova
