#include "ImageRecycler.h"

#include "ImageBuffer.h"

#include <algorithm>
#include <mutex>
#include <vector>

namespace kestrova {

namespace {

struct Block {
    std::uint8_t* data = nullptr;
    std::size_t bytes = 0;
};

// One image per screen is what a capture holds at a time.
constexpr std::size_t keptAtMost = 4;

} // namespace

struct ImageRecycler::State {
    mutable std::mutex mutex;
    std::vector<Block> kept;
};

namespace {

struct Loan {
    std::weak_ptr<ImageRecycler::State> owner;
    Block block;
};

void giveBack(void* info) {
    const std::unique_ptr<Loan> loan(static_cast<Loan*>(info));
    if (const auto state = loan->owner.lock()) {
        std::lock_guard lock(state->mutex);
        if (state->kept.size() < keptAtMost) {
            state->kept.push_back(loan->block);
            return;
        }
    }
    ImageBuffer::Bytes(loan->block.data).reset();
}

} // namespace

ImageRecycler::ImageRecycler() : m_state(std::make_shared<State>()) {}

ImageRecycler::~ImageRecycler() {
    clear();
}

QImage ImageRecycler::make(QSize size, QImage::Format format) {
    const qsizetype bytesPerLine = ImageBuffer::bytesPerLine(size, format);
    if (bytesPerLine == 0)
        return {};
    const std::size_t bytes = std::size_t(bytesPerLine) * std::size_t(size.height());
    Block block;
    {
        std::lock_guard lock(m_state->mutex);
        // The smallest that fits, so that a small screen's image leaves a large one's
        // memory for the large screen.
        auto best = m_state->kept.end();
        for (auto it = m_state->kept.begin(); it != m_state->kept.end(); ++it) {
            if (it->bytes >= bytes && (best == m_state->kept.end() || it->bytes < best->bytes))
                best = it;
        }
        if (best != m_state->kept.end()) {
            block = *best;
            m_state->kept.erase(best);
        }
    }
    if (!block.data) {
        block.data = ImageBuffer::bytes(bytes).release();
        block.bytes = bytes;
        if (!block.data)
            return {};
    }
    return QImage(block.data, size.width(), size.height(), bytesPerLine, format, giveBack,
                  new Loan{m_state, block});
}

void ImageRecycler::clear() {
    std::vector<Block> kept;
    {
        std::lock_guard lock(m_state->mutex);
        kept.swap(m_state->kept);
    }
    for (const Block& block : kept)
        ImageBuffer::Bytes(block.data).reset();
}

std::size_t ImageRecycler::keptBytes() const {
    std::lock_guard lock(m_state->mutex);
    std::size_t total = 0;
    for (const Block& block : m_state->kept)
        total += block.bytes;
    return total;
}

} // namespace kestrova
