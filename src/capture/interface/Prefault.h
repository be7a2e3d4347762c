#pragma once

#include <cstddef>

namespace kestrova {

// Has the kernel supply the pages of [address, address + bytes) now, on two threads,
// instead of one page at a time as they are first written. Screen-sized pictures are
// tens of megabytes, and filling fresh memory page by page can take longer than
// everything else done with them. Only worth it for memory about to be written whole.
// Does nothing where the kernel cannot do this; the pages then come as before.
void prefault(void* address, std::size_t bytes);

} // namespace kestrova
