#include "BackendLoader.h"

#include "PortalCaptureBackend.h"
#include "PortalHotKeyBackend.h"
#include "X11CaptureBackend.h"
#include "X11HotKeyBackend.h"

#include <QGuiApplication>

#include <cstdio>
#include <cstdlib>

namespace kestrova {

namespace {

bool isSet(const char* variable) {
    const char* value = std::getenv(variable);
    return value && *value;
}

} // namespace

void Backends::choosePlatform() {
    // Under XWayland an X11 client sees only other X11 clients and can grab no keys:
    // a Wayland session is served on Qt's Wayland platform unless the user chose one.
    if (isSet("WAYLAND_DISPLAY") && !isSet("QT_QPA_PLATFORM"))
        setenv("QT_QPA_PLATFORM", "wayland;xcb", 1);
}

Backends Backends::load() {
    Backends backends;
    const QString platform = QGuiApplication::platformName();
    if (platform == QLatin1String("xcb")) {
        if (isSet("WAYLAND_DISPLAY"))
            std::fprintf(stderr,
                         "kestrova: running through XWayland, which shows only X11 windows: "
                         "screenshots will miss Wayland windows. Install qt6-wayland (or "
                         "unset QT_QPA_PLATFORM) for the Wayland session\n");
        backends.capture = X11CaptureBackend::connect();
        backends.hotKeys = X11HotKeyBackend::create();
    } else if (platform == QLatin1String("wayland")) {
        backends.capture = std::make_shared<PortalCaptureBackend>();
        backends.hotKeys = std::make_unique<PortalHotKeyBackend>();
    } else {
        std::fprintf(stderr,
                     "kestrova: screen capture and the global hot key need an X11 or Wayland "
                     "session (this one is \"%s\")\n",
                     qPrintable(platform));
    }
    if (!backends.hotKeys)
        backends.hotKeys = std::make_unique<NullHotKeyBackend>();
    return backends;
}

} // namespace kestrova
