#include "VeilPainter.h"

#include <QImage>
#include <QPaintEngine>
#include <QPainter>

#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kestrova {

namespace {

// x × a / 255 on each byte, rounded exactly as Qt's own blend rounds, so that both
// ways of painting give the same pixels.
inline std::uint32_t byteMul(std::uint32_t x, std::uint32_t a) {
    std::uint32_t t = (x & 0xff00ffu) * a;
    t = ((t + ((t >> 8) & 0xff00ffu) + 0x800080u) >> 8) & 0xff00ffu;
    x = ((x >> 8) & 0xff00ffu) * a;
    x = (x + ((x >> 8) & 0xff00ffu) + 0x800080u) & 0xff00ff00u;
    return x | t;
}

// dst = veil + src × (255 − veil alpha), the veil premultiplied: source-over.
void veilRow(const std::uint32_t* src, std::uint32_t* dst, int count, std::uint32_t veil) {
    const std::uint32_t keep = 255u - (veil >> 24);
    int i = 0;
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128();
    const __m128i factor = _mm_set1_epi16(static_cast<short>(keep));
    const __m128i half = _mm_set1_epi16(0x80);
    const __m128i add = _mm_set1_epi32(static_cast<int>(veil));
    const auto scale = [&](__m128i v) {
        v = _mm_mullo_epi16(v, factor);
        return _mm_srli_epi16(_mm_add_epi16(_mm_add_epi16(v, _mm_srli_epi16(v, 8)), half), 8);
    };
    for (; i + 4 <= count; i += 4) {
        const __m128i p = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i));
        const __m128i lo = scale(_mm_unpacklo_epi8(p, zero));
        const __m128i hi = scale(_mm_unpackhi_epi8(p, zero));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i),
                         _mm_add_epi32(_mm_packus_epi16(lo, hi), add));
    }
#endif
    for (; i < count; ++i)
        dst[i] = veil + byteMul(src[i], keep);
}

bool plain32(QImage::Format format) {
    return format == QImage::Format_RGB32 || format == QImage::Format_ARGB32_Premultiplied;
}

} // namespace

QColor VeilPainter::color() {
    return QColor::fromRgbF(0, 0, 0, 0.35f);
}

bool VeilPainter::paint(QPainter& painter, const QRect& area, const QImage& still,
                        const QRectF& source) {
    QPaintEngine* engine = painter.paintEngine();
    if (!engine || engine->type() != QPaintEngine::Raster || !engine->paintDevice() ||
        engine->paintDevice()->devType() != QInternal::Image)
        return false;
    auto* target = static_cast<QImage*>(engine->paintDevice());
    if (!plain32(target->format()) || still.format() != QImage::Format_RGB32)
        return false;
    const QTransform& transform = painter.deviceTransform();
    if (transform.type() > QTransform::TxScale)
        return false;
    const QRectF device = transform.mapRect(QRectF(area));
    QRect to = device.toRect();
    QRect from = source.toRect();
    // One still pixel for each pixel written, at whole-pixel places only.
    if (QRectF(to) != device || QRectF(from) != source || to.size() != from.size() ||
        !still.rect().contains(from))
        return false;
    // A target that holds only part of the area (a band of a window) gets that part.
    const QRect inside = to.intersected(target->rect());
    if (inside.isEmpty())
        return true;
    from = QRect(from.topLeft() + (inside.topLeft() - to.topLeft()), inside.size());
    to = inside;

    const std::uint32_t veil = qPremultiply(color().rgba());
    // The memory the painter writes to, as it is: bits() would first copy an image
    // that is shared, and the pixels would land in the copy.
    auto* bits = const_cast<uchar*>(target->constBits());
    const qsizetype targetStride = target->bytesPerLine();
    for (int row = 0; row < to.height(); ++row) {
        const auto* src =
            reinterpret_cast<const std::uint32_t*>(still.constScanLine(from.y() + row)) + from.x();
        auto* dst = reinterpret_cast<std::uint32_t*>(bits + (to.y() + row) * targetStride) + to.x();
        veilRow(src, dst, to.width(), veil);
    }
    return true;
}

} // namespace kestrova
