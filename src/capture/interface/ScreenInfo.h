#pragma once

#include <QRect>
#include <QString>

class QScreen;

namespace kestrova {

// Screenshots keep one pixel per point: their resolution is 72 per inch (2835 per metre).
inline constexpr int screenshotDotsPerMeter = 2835;

// What capture needs to know of a screen, read on the main thread so that the
// capture itself can run elsewhere.
struct ScreenInfo {
    QString name;
    QRect geometry; // points (device-independent pixels)
    double scale = 1;

    static ScreenInfo of(const QScreen* screen);
    // The screen's area on the X server in device pixels: Qt keeps a screen's native
    // origin and scales only its size.
    QRect nativeRect() const;
    QSize pixelSize() const;
};

} // namespace kestrova
