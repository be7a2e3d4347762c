#include "CaptureBackend.h"

namespace kestrova {

QFuture<CaptureBackend::Stills> CaptureBackend::grabStills(const std::vector<ScreenInfo>& screens) {
    std::vector<QImage> stills;
    stills.reserve(screens.size());
    for (const ScreenInfo& screen : screens) {
        Expected<QImage> grabbed = grab(screen.nativeRect());
        stills.push_back(grabbed ? std::move(grabbed.value()) : QImage());
    }
    return QtFuture::makeReadyFuture(Stills(std::move(stills)));
}

Status CaptureBackend::streamOnce(const QRect& nativeRect, const RowSink& sink) {
    Expected<QImage> grabbed = grabOnce(nativeRect);
    if (!grabbed)
        return grabbed.error();
    const QImage image = grabbed.value().convertToFormat(QImage::Format_RGB32);
    for (int y = 0; y < image.height(); ++y)
        sink(reinterpret_cast<const std::uint32_t*>(image.constScanLine(y)), 1);
    return std::nullopt;
}

bool CaptureBackend::paintWindow(WId, const QRegion&, const BandRender&) {
    return false;
}

} // namespace kestrova
