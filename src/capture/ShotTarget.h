#pragma once

#include "Expected.h"
#include "ScreenInfo.h"

#include <QPoint>
#include <QRect>
#include <QRectF>
#include <QString>

#include <optional>
#include <vector>

namespace kestrova {

// What a screenshot taken from the command line covers: the screen under the
// pointer, one screen by index or output name, every screen, or a rectangle of the
// desktop. Desktop coordinates are Qt's screen geometry: logical pixels, as the
// compositor or xrandr reports the screens' positions.
class ShotTarget final {
public:
    // `value` of --screen: empty for the screen under the pointer, "all", an index
    // (from 0, as Qt lists the screens), or an output name.
    static ShotTarget screen(const QString& value);
    // `value` of --region: "X,Y,W,H"; fails on anything else, or on a size that is not
    // positive.
    static Expected<ShotTarget> region(const QString& value);

    // What to read, resolved against the screens as they are now.
    struct Plan {
        std::vector<std::size_t> screens; // indices into the screens given
        // The part of the single screen to cut, in its y-up points; none for whole screens.
        std::optional<QRectF> localRect;

        // What to read of the display, in its device pixels: the part of the one screen,
        // or on X11, where screens share one pixel space, the area the screens span.
        QRect nativeArea(const std::vector<ScreenInfo>& all) const;
    };
    // Fails on an unknown screen, or a region outside every screen or across two.
    Expected<Plan> resolve(const std::vector<ScreenInfo>& screens, QPoint pointer) const;

private:
    enum class Kind { pointerScreen, index, name, all, region };
    Kind m_kind = Kind::pointerScreen;
    QString m_name;
    std::size_t m_index = 0;
    QRect m_region;
};

} // namespace kestrova
