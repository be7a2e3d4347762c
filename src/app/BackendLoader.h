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
    // Once it exists: the services for the platform Qt runs on.
    static Backends load();
};

} // namespace kestrova
