#pragma once

#include <cstdlib>
#include <memory>

namespace kestrova {

// libxcb hands replies and errors over to be released with free().
struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};
template <typename T> using XcbReply = std::unique_ptr<T, FreeDeleter>;

template <typename T> XcbReply<T> owned(T* reply) {
    return XcbReply<T>(reply);
}

} // namespace kestrova
