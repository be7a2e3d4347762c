#include "ImageBuffer.h"

#include "Prefault.h"

#include <QtConcurrent/QtConcurrentRun>

#include <cstdlib>
#include <cstring>

#include <sys/mman.h>

namespace kestrova {

namespace {

constexpr std::size_t hugePage = HugePageBytes::hugePage;
// Images are prefaulted whole: only screen-sized ones are worth it.
constexpr std::size_t worthIt = 4 * hugePage;

void release(void* data) {
    std::free(data);
}

// Display servers leave RGB32's unused fourth byte as they like; the format wants it
// opaque, and copies say so.
void copyOpaque(std::uint32_t* to, const std::uint32_t* from, int pixels) {
    for (int x = 0; x < pixels; ++x)
        to[x] = from[x] | 0xff000000u;
}

} // namespace

qsizetype ImageBuffer::bytesPerLine(QSize size, QImage::Format format) {
    if (size.isEmpty())
        return 0;
    // The pixel format's own bit count leaves out padding (RGB666 stores 18 bits in 24):
    // the depth QImage itself allocates for is the one to trust.
    const int depth = QImage(1, 1, format).depth();
    return ((qsizetype(size.width()) * depth + 31) / 32) * 4;
}

QImage ImageBuffer::make(QSize size, QImage::Format format) {
    const qsizetype bytesPerLine = ImageBuffer::bytesPerLine(size, format);
    if (bytesPerLine == 0)
        return {};
    const std::size_t bytes = std::size_t(bytesPerLine) * std::size_t(size.height());
    if (bytes < worthIt)
        return QImage(size, format);
    void* data = std::aligned_alloc(hugePage, (bytes + hugePage - 1) / hugePage * hugePage);
    if (!data)
        return QImage(size, format);
    ::madvise(data, bytes, MADV_HUGEPAGE);
    prefault(data, bytes);
    return QImage(static_cast<uchar*>(data), size.width(), size.height(), bytesPerLine, format,
                  release, data);
}

QImage ImageBuffer::adopt(Bytes bytes, QSize size, qsizetype bytesPerLine, QImage::Format format) {
    if (!bytes)
        return {};
    std::uint8_t* data = bytes.release();
    return QImage(
        data, size.width(), size.height(), bytesPerLine, format,
        [](void* owned) { HugePageBytes::Free()(static_cast<std::uint8_t*>(owned)); }, data);
}

QImage ImageBuffer::copy(const QImage& source, const QRect& area) {
    const QRect cut = area.intersected(source.rect());
    if (cut.isEmpty())
        return {};
    if (source.depth() % 8 != 0)
        return source.copy(cut);
    QImage out = make(cut.size(), source.format());
    if (out.isNull())
        return {};
    if (!source.colorTable().isEmpty())
        out.setColorTable(source.colorTable());
    const int bytesPerPixel = source.depth() / 8;
    const std::size_t rowBytes = std::size_t(cut.width()) * std::size_t(bytesPerPixel);
    const bool opaque = source.format() == QImage::Format_RGB32;
    for (int y = 0; y < cut.height(); ++y) {
        const uchar* from = source.constScanLine(cut.y() + y) + cut.x() * bytesPerPixel;
        if (opaque)
            copyOpaque(reinterpret_cast<std::uint32_t*>(out.scanLine(y)),
                       reinterpret_cast<const std::uint32_t*>(from), cut.width());
        else
            std::memcpy(out.scanLine(y), from, rowBytes);
    }
    return out;
}

void ImageBuffer::putOpaqueRows(QImage& image, int first, const std::uint32_t* packed, int rows) {
    for (int r = 0; r < rows; ++r)
        copyOpaque(reinterpret_cast<std::uint32_t*>(image.scanLine(first + r)),
                   packed + std::ptrdiff_t(r) * image.width(), image.width());
}

void ImageBuffer::makeOpaque(QImage& image) {
    if (image.format() != QImage::Format_RGB32 || image.isNull())
        return;
    uchar* bits = image.bits();
    const qsizetype bytesPerLine = image.bytesPerLine();
    const int width = image.width();
    const auto rows = [bits, bytesPerLine, width](int from, int to) {
        for (int y = from; y < to; ++y) {
            auto* line = reinterpret_cast<std::uint32_t*>(bits + y * bytesPerLine);
            copyOpaque(line, line, width);
        }
    };
    const int height = image.height();
    if (std::size_t(image.sizeInBytes()) < worthASecondThread) {
        rows(0, height);
        return;
    }
    QFuture<void> lower = QtConcurrent::run(rows, height / 2, height);
    rows(0, height / 2);
    lower.waitForFinished();
}

} // namespace kestrova
