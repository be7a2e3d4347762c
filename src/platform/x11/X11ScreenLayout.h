#pragma once

#include "ScreenInfo.h"

#include <QPoint>
#include <QProcessEnvironment>
#include <QRect>
#include <QString>

#include <optional>
#include <vector>

struct xcb_connection_t;

namespace kestrova {

// The screens of an X display exactly as Qt lists them (the primary first, then in the
// server's order, named after their monitors, scaled as Qt's environment variables and
// Xft.dpi make it scale them), read without starting Qt's platform: a command that only
// captures and writes a file is then done in a fraction of the time. Where a setting
// could make Qt list them otherwise, it gives nothing, and the caller asks Qt.
class X11ScreenLayout final {
public:
    struct Monitor {
        QString name;
        QRect native; // device pixels
        bool primary = false;
    };

    std::vector<ScreenInfo> screens;
    std::vector<QRect> nativeRects; // each screen's monitor, in device pixels

    // Nothing without RandR monitors (1.5), on a display of several X screens, or under
    // a setting this does not follow.
    static std::optional<X11ScreenLayout> read(xcb_connection_t* connection, int screenNumber,
                                               const QProcessEnvironment& environment);
    // Qt's screens for these monitors, under this environment and Xft.dpi (0: not set).
    static std::optional<X11ScreenLayout>
    arrange(std::vector<Monitor> monitors, const QProcessEnvironment& environment, int xftDpi);

    // A point in device pixels in desktop coordinates, as Qt maps the pointer: within the
    // screen that holds it (the first screen if none does), scaled about its origin.
    QPoint toDesktop(QPoint native) const;
    // Where the pointer is now, in desktop coordinates.
    std::optional<QPoint> pointer(xcb_connection_t* connection, int screenNumber) const;
};

} // namespace kestrova
