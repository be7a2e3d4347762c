#pragma once

#include <QRect>
#include <QRectF>
#include <QScreen>
#include <QString>

namespace kestrova {

// Screenshots keep one pixel per point: their resolution is 72 per inch (2835 per metre).
inline constexpr int screenshotDotsPerMeter = 2835;

// What capture needs to know of a screen, read on the main thread so that the
// capture itself can run elsewhere.
struct ScreenInfo {
    QString name;
    QRect geometry; // points (device-independent pixels)
    double scale = 1;

    // Inline: code that never asks Qt's screens then needs none of Qt's graphics.
    static ScreenInfo of(const QScreen* screen) {
        if (!screen)
            return {};
        return {screen->name(), screen->geometry(), screen->devicePixelRatio()};
    }
    // The screen's area on the X server in device pixels: Qt keeps a screen's native
    // origin and scales only its size.
    QRect nativeRect() const;
    QSize pixelSize() const;
    // Where a rectangle in the screen's y-up points lies in a capture of it (rows
    // downwards), before it is cut to the capture's bounds.
    QRect pixelRect(const QRectF& localRect) const;
};

} // namespace kestrova
