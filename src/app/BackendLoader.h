#pragma once

#include "CaptureBackend.h"
#include "HotKeyBackend.h"

#include <memory>

namespace kestrova {

// The one place that picks the platform services for the running session.
struct Backends {
    std::shared_ptr<CaptureBackend> capture;
    std::unique_ptr<HotKeyBackend> hotKeys;

    // Before the application object exists: picks Qt's platform for the session.
    static void choosePlatform();
    // Whether the chosen platform's display can be reached (Qt ends the process when it
    // cannot), and whether that is a Wayland one.
    static bool displayReachable();
    static bool choosesWayland();
    // Once it exists: the services for the platform Qt runs on.
    static Backends load();
    // The capture service alone; none on a platform without one.
    static std::shared_ptr<CaptureBackend> loadCapture();
};

} // namespace kestrova
