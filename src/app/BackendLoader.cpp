#include "BackendLoader.h"

#include "X11CaptureBackend.h"
#include "X11HotKeyBackend.h"

#include <QGuiApplication>

#include <cstdio>

namespace kestrova {

Backends Backends::load() {
    Backends backends;
    if (QGuiApplication::platformName() == QLatin1String("xcb")) {
        backends.capture = X11CaptureBackend::connect();
        backends.hotKeys = X11HotKeyBackend::create();
    } else {
        std::fprintf(stderr,
                     "kestrova: screen capture and the global hot key need an X11 session "
                     "(this one is \"%s\")\n",
                     qPrintable(QGuiApplication::platformName()));
    }
    if (!backends.hotKeys)
        backends.hotKeys = std::make_unique<NullHotKeyBackend>();
    return backends;
}

} // namespace kestrova
