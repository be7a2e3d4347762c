#include "CaptureBackend.h"

namespace kestrova {

void CaptureBackend::grabStills(const std::vector<ScreenInfo>& screens, StillsDone done) {
    std::vector<QImage> stills;
    stills.reserve(screens.size());
    for (const ScreenInfo& screen : screens) {
        Expected<QImage> grabbed = grab(screen.nativeRect());
        stills.push_back(grabbed ? std::move(grabbed.value()) : QImage());
    }
    done(std::move(stills));
}

bool CaptureBackend::paintWindow(WId, const QRegion&, const BandRender&) {
    return false;
}

} // namespace kestrova
