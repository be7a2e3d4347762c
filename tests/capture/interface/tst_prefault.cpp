#include "Prefault.h"

#include <QTest>

#include <cstring>
#include <vector>

#include <sys/mman.h>
#include <unistd.h>

using namespace kestrova;

namespace {

const std::size_t page = std::size_t(sysconf(_SC_PAGESIZE));

// Pages of [address, address + bytes) that are in memory now.
std::size_t residentPages(void* address, std::size_t bytes) {
    std::vector<unsigned char> resident((bytes + page - 1) / page);
    if (mincore(address, bytes, resident.data()) != 0)
        return 0;
    std::size_t count = 0;
    for (unsigned char r : resident)
        count += r & 1;
    return count;
}

// Fresh memory the kernel has not supplied yet, unmapped when done.
struct Fresh {
    explicit Fresh(std::size_t size)
        : bytes(size),
          address(mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)) {
        // Page by page, so that a huge page cannot bring in a neighbour.
        madvise(address, bytes, MADV_NOHUGEPAGE);
    }
    ~Fresh() { munmap(address, bytes); }
    Fresh(const Fresh&) = delete;
    Fresh& operator=(const Fresh&) = delete;
    std::size_t bytes;
    void* address;
};

bool kernelPopulates() {
    Fresh probe(page);
    return madvise(probe.address, page, 23 /* MADV_POPULATE_WRITE */) == 0;
}

} // namespace

class PrefaultTest final : public QObject {
    Q_OBJECT
private slots:
    // Both the single-thread size and the split one, from an address inside a page to
    // one inside another, so that rounding and the split can each leave a page out.
    void everyPageOfTheRangeIsSuppliedAndNoneBeyond_data() {
        QTest::addColumn<std::size_t>("pages");
        QTest::newRow("small") << std::size_t(37);
        QTest::newRow("screen-sized") << std::size_t(3 * 8100 + 1);
    }
    void everyPageOfTheRangeIsSuppliedAndNoneBeyond() {
        if (!kernelPopulates())
            QSKIP("this kernel cannot supply pages ahead of use");
        QFETCH(std::size_t, pages);
        Fresh memory((pages + 2) * page);
        QCOMPARE(residentPages(memory.address, memory.bytes), 0u);
        auto* first = static_cast<char*>(memory.address) + page;
        prefault(first + 100, pages * page - 200);
        QCOMPARE(residentPages(first, pages * page), pages);
        QCOMPARE(residentPages(memory.address, page), 0u);
        QCOMPARE(residentPages(first + pages * page, page), 0u);
    }

    // Asking ahead is no write: what the memory holds stays, to the byte.
    void contentsStayAsTheyAre() {
        const std::size_t bytes = 6u << 20;
        Fresh memory(bytes);
        auto* bytesAt = static_cast<unsigned char*>(memory.address);
        // Written in part only: the rest is still unsupplied when prefault runs.
        for (std::size_t i = 0; i < bytes / 2; i += 97)
            bytesAt[i] = static_cast<unsigned char>(i * 31 + 7);
        prefault(memory.address, bytes);
        for (std::size_t i = 0; i < bytes; i += 97)
            QCOMPARE(bytesAt[i], i < bytes / 2 ? static_cast<unsigned char>(i * 31 + 7) : 0);
        prefault(nullptr, bytes);
        prefault(memory.address, 0);
    }
};

QTEST_GUILESS_MAIN(PrefaultTest)
#include "tst_prefault.moc"
