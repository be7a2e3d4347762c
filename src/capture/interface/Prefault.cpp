#include "Prefault.h"

#include <QtConcurrent/QtConcurrentRun>

#include <cstdint>

#include <sys/mman.h>
#include <unistd.h>

#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23 // Linux 5.14; older kernels refuse it harmlessly
#endif

namespace kestrova {

namespace {

void populate(std::uintptr_t from, std::uintptr_t to) {
    if (to > from)
        madvise(reinterpret_cast<void*>(from), to - from, MADV_POPULATE_WRITE);
}

} // namespace

void prefault(void* address, std::size_t bytes) {
    if (!address || bytes == 0)
        return;
    const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    const auto start = reinterpret_cast<std::uintptr_t>(address) / page * page;
    const auto end = (reinterpret_cast<std::uintptr_t>(address) + bytes + page - 1) / page * page;
    if (end - start < worthASecondThread) {
        populate(start, end);
        return;
    }
    const std::uintptr_t middle = (start + (end - start) / 2) / page * page;
    const PrefaultInBackground other(reinterpret_cast<void*>(middle), end - middle);
    populate(start, middle);
}

PrefaultInBackground::PrefaultInBackground(void* address, std::size_t bytes) {
    if (!address || bytes == 0)
        return;
    const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    const auto start = reinterpret_cast<std::uintptr_t>(address) / page * page;
    const auto end = (reinterpret_cast<std::uintptr_t>(address) + bytes + page - 1) / page * page;
    m_done = QtConcurrent::run(populate, start, end);
}

PrefaultInBackground::~PrefaultInBackground() {
    m_done.waitForFinished();
}

} // namespace kestrova
