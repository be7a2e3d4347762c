#include "ScreenMosaic.h"

#include <QPainter>

#include <algorithm>
#include <cmath>

namespace kestrova {

QImage ScreenMosaic::compose(const std::vector<ScreenInfo>& screens,
                             const std::vector<QImage>& stills) {
    QRect box;
    double scale = 1;
    for (const ScreenInfo& screen : screens) {
        box = box.united(screen.geometry);
        scale = std::max(scale, screen.scale);
    }
    const auto px = [scale](double v) { return int(std::lround(v * scale)); };
    QImage desktop(px(box.width()), px(box.height()), QImage::Format_RGB32);
    if (desktop.isNull())
        return {};
    desktop.fill(Qt::black);
    QPainter painter(&desktop);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    for (std::size_t i = 0; i < screens.size() && i < stills.size(); ++i) {
        const QRect g = screens[i].geometry.translated(-box.topLeft());
        painter.drawImage(QRect(px(g.x()), px(g.y()), px(g.width()), px(g.height())), stills[i]);
    }
    painter.end();
    desktop.setDotsPerMeterX(screenshotDotsPerMeter);
    desktop.setDotsPerMeterY(screenshotDotsPerMeter);
    return desktop;
}

} // namespace kestrova
