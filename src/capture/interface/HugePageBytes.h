#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

namespace kestrova {

// Large working memory (a screen is 33 MB at 4K) is slow to touch for the first time
// when backed by small pages: these bytes are backed by transparent huge pages where the
// system offers them.
class HugePageBytes final {
public:
    static constexpr std::size_t hugePage = 2 * 1024 * 1024;
    // Below this, plain memory: a huge page would mostly go unused. From half a huge
    // page on, one fault that clears 2 MB beats the 256 a megabyte of small pages takes
    // (the PNG encoder's working rows: ~10 ms less for a 4K screenshot).
    static constexpr std::size_t worthIt = hugePage / 2;

    struct Free {
        void operator()(std::uint8_t* data) const { std::free(data); }
    };
    using Bytes = std::unique_ptr<std::uint8_t[], Free>;
    // Uninitialised bytes; null when there is no memory.
    static Bytes make(std::size_t size);
};

} // namespace kestrova
