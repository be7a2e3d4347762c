#include "BackendLoader.h"
#include "Log.h"

#include "DesktopSession.h"
#include "KWinCaptureBackend.h"
#include "PortalCaptureBackend.h"
#include "PortalHotKeyBackend.h"
#include "ScreencopyCaptureBackend.h"
#include "X11CaptureBackend.h"
#include "X11HotKeyBackend.h"

#include <QFileInfo>
#include <QGuiApplication>

#include <cstdlib>

namespace kestrova {

namespace {

// No client buffer integration of Qt's has this name: windows get plain shared memory.
constexpr const char* noGraphicsDriver = "none";

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
    // kestrova paints on the processor only. Qt's Wayland platform would otherwise load
    // the OpenGL driver when the first window opens: a tenth of a second and more on the
    // first capture, and the driver's memory for good.
    if (!isSet("QT_WAYLAND_CLIENT_BUFFER_INTEGRATION"))
        setenv("QT_WAYLAND_CLIENT_BUFFER_INTEGRATION", noGraphicsDriver, 1);
}

bool Backends::choosesWayland() {
    const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
    if (!isSet("WAYLAND_DISPLAY") || !(platform.isEmpty() || platform.startsWith("wayland")))
        return false;
    // Without the compositor's socket Qt goes on to X11, if it may.
    const QString name = qEnvironmentVariable("WAYLAND_DISPLAY");
    return QFileInfo::exists(
        name.startsWith(u'/') ? name : qEnvironmentVariable("XDG_RUNTIME_DIR") + u'/' + name);
}

bool Backends::displayReachable() {
    const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
    if (platform.startsWith("offscreen") || platform.startsWith("minimal") || choosesWayland())
        return true;
    return isSet("DISPLAY") && X11CaptureBackend::connect() != nullptr;
}

std::shared_ptr<CaptureBackend> Backends::loadCapture() {
    const QString platform = QGuiApplication::platformName();
    if (platform == QLatin1String("xcb")) {
        if (isSet("WAYLAND_DISPLAY"))
            qCWarning(lcApp, "running through XWayland, which shows only X11 windows: "
                             "screenshots will miss Wayland windows. Install qt6-wayland (or "
                             "unset QT_QPA_PLATFORM) for the Wayland session");
        return X11CaptureBackend::connect();
    }
    if (platform == QLatin1String("wayland")) {
        // The compositor's own screenshots where it offers them (wlroots, KWin): exact
        // on every output, and no portal round trip. The portal for every other
        // desktop, where KWin refuses, or when the user asks for it.
        const bool portalOnly = qgetenv("KESTROVA_CAPTURE") == "portal";
        if (!portalOnly)
            if (auto screencopy = ScreencopyCaptureBackend::connect())
                return screencopy;
        auto portal = std::make_shared<PortalCaptureBackend>();
        if (!portalOnly && DesktopSession::isPlasma())
            return std::make_shared<KWinCaptureBackend>(std::move(portal));
        return portal;
    }
    return nullptr;
}

Backends Backends::load() {
    Backends backends;
    backends.capture = loadCapture();
    qCDebug(lcApp) << "platform" << QGuiApplication::platformName()
                   << (backends.capture ? "reads the screen" : "cannot read the screen");
    if (backends.capture)
        backends.capture->prepare();
    const QString platform = QGuiApplication::platformName();
    if (platform == QLatin1String("xcb"))
        backends.hotKeys = X11HotKeyBackend::create();
    else if (platform == QLatin1String("wayland"))
        backends.hotKeys = std::make_unique<PortalHotKeyBackend>();
    else
        qCWarning(lcApp,
                  "screen capture and the global hot key need an X11 or Wayland session (this "
                  "one is \"%s\")",
                  qPrintable(platform));
    if (!backends.hotKeys)
        backends.hotKeys = std::make_unique<NullHotKeyBackend>();
    return backends;
}

} // namespace kestrova
