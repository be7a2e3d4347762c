#include "HugePageBytes.h"

#include <algorithm>

#include <sys/mman.h>

namespace kestrova {

HugePageBytes::Bytes HugePageBytes::make(std::size_t size) {
    if (size < worthIt)
        return Bytes(static_cast<std::uint8_t*>(std::malloc(std::max<std::size_t>(size, 1))));
    const std::size_t rounded = (size + hugePage - 1) / hugePage * hugePage;
    auto* data = static_cast<std::uint8_t*>(std::aligned_alloc(hugePage, rounded));
    if (data)
        ::madvise(data, rounded, MADV_HUGEPAGE);
    return Bytes(data);
}

} // namespace kestrova
