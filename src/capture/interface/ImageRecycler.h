#pragma once

#include <QImage>

#include <memory>

namespace kestrova {

// Screen-sized images whose memory is kept once they are gone, for the next image that
// fits in it, until clear(): a capture that follows another within moments then finds
// its pages supplied already, instead of waiting for tens of megabytes of fresh ones.
// Images may be let go on any thread; images still held when the recycler goes free
// their own memory.
class ImageRecycler final {
public:
    ImageRecycler();
    ~ImageRecycler();
    ImageRecycler(const ImageRecycler&) = delete;
    ImageRecycler& operator=(const ImageRecycler&) = delete;

    // An uninitialised image, in kept memory where some fits, else in fresh memory that
    // can take huge pages, whose pages come as they are first written.
    QImage make(QSize size, QImage::Format format);
    // Gives back everything kept.
    void clear();
    std::size_t keptBytes() const;

    struct State;

private:
    std::shared_ptr<State> m_state;
};

} // namespace kestrova
