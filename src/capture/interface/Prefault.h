#pragma once

#include <QFuture>

#include <cstddef>

namespace kestrova {

// Work on less memory than this is done on one thread: below a few megabytes a second
// thread costs more than it saves.
inline constexpr std::size_t worthASecondThread = 4u << 20;

// Has the kernel supply the pages of [address, address + bytes) now, on two threads,
// instead of one page at a time as they are first written. Screen-sized pictures are
// tens of megabytes, and filling fresh memory page by page can take longer than
// everything else done with them. Only worth it for memory about to be written whole.
// Does nothing where the kernel cannot do this; the pages then come as before.
void prefault(void* address, std::size_t bytes);

// The same on a worker of Qt's pool while the caller goes on writing elsewhere; the
// pages are all there once it is destroyed (with no worker free by then, it supplies
// them itself).
class PrefaultInBackground final {
public:
    PrefaultInBackground(void* address, std::size_t bytes);
    ~PrefaultInBackground();
    PrefaultInBackground(const PrefaultInBackground&) = delete;
    PrefaultInBackground& operator=(const PrefaultInBackground&) = delete;

private:
    QFuture<void> m_done;
};

} // namespace kestrova
