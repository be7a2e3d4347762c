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

bool CaptureBackend::paintWindow(WId, const QRegion&, const BandRender&) {
    return false;
}

} // namespace kestrova
