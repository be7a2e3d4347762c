#include "DesktopLayout.h"

#include <cmath>

namespace kestrova {

std::vector<QImage> DesktopLayout::split(QImage desktop, const std::vector<ScreenInfo>& screens) {
    std::vector<QImage> parts(screens.size());
    QRect bounds;
    for (const ScreenInfo& screen : screens)
        bounds |= screen.geometry;
    if (desktop.isNull() || bounds.isEmpty())
        return parts;

    const double densityX = double(desktop.width()) / bounds.width();
    const double densityY = double(desktop.height()) / bounds.height();
    // In place where the format allows (a PNG with alpha decodes to ARGB32): a picture of
    // the desktop is large, and fresh memory for a copy of it is slow to come by.
    const QImage pixels = std::move(desktop).convertToFormat(QImage::Format_RGB32);
    for (std::size_t i = 0; i < screens.size(); ++i) {
        const ScreenInfo& screen = screens[i];
        const QRect local = screen.geometry.translated(-bounds.topLeft());
        const auto edge = [](double v) { return static_cast<int>(std::lround(v)); };
        const QRect area(QPoint(edge(local.left() * densityX), edge(local.top() * densityY)),
                         QPoint(edge((local.right() + 1) * densityX) - 1,
                                edge((local.bottom() + 1) * densityY) - 1));
        if (!pixels.rect().contains(area) || area.isEmpty())
            continue;
        // One screen the picture's size (the usual case) shares its pixels.
        QImage part = area == pixels.rect() ? pixels : pixels.copy(area);
        const QSize wanted = screen.pixelSize();
        if (part.size() != wanted)
            part = part.scaled(wanted, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
        parts[i] = std::move(part);
    }
    return parts;
}

} // namespace kestrova
