#include "PortalCaptureBackend.h"

#include "CaptureError.h"
#include "DesktopLayout.h"
#include "PortalRequest.h"

#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QUrl>

namespace kestrova {

namespace {

// The picture the portal wrote for one request is ours to remove once read: left in
// place it would pile up in the user's folders (or in /tmp) with every capture.
void removePortalFile(const QString& path) {
    const QFileInfo info(path);
    if (!path.isEmpty() && info.isFile() && !info.isSymLink())
        QFile::remove(path);
}

QString fileOf(const PortalRequest::Answer& answer) {
    const QUrl uri(answer.results.value(QStringLiteral("uri")).toString());
    return uri.isLocalFile() ? uri.toLocalFile() : QString();
}

} // namespace

PortalCaptureBackend::PortalCaptureBackend(QDBusConnection bus, std::chrono::milliseconds timeout)
    : m_bus(std::move(bus)), m_timeout(timeout), m_requests(std::make_unique<QObject>()) {}

PortalCaptureBackend::~PortalCaptureBackend() = default;

Expected<QImage> PortalCaptureBackend::grab(const QRect&) {
    return Error{QStringLiteral("The screenshot portal only takes whole pictures of the "
                                "desktop when a capture starts.")};
}

void PortalCaptureBackend::grabStills(const std::vector<ScreenInfo>& screens, StillsDone done) {
    QDBusMessage call = QDBusMessage::createMethodCall(
        QLatin1String(portal::service), QLatin1String(portal::path),
        QStringLiteral("org.freedesktop.portal.Screenshot"), QStringLiteral("Screenshot"));
    // No parent window: none of kestrova's is shown yet. Not interactive: the user
    // picks the region in kestrova's own overlay.
    call << QString() << QVariantMap{{QStringLiteral("interactive"), false}};

    PortalRequest::send(
        m_bus, call, m_timeout, m_requests.get(),
        [this, screens, done](Expected<PortalRequest::Answer> answer) {
            if (!answer) {
                m_lastFailure = answer.error();
                done(answer.error());
                return;
            }
            const PortalRequest::Answer& a = answer.value();
            if (a.response == 1) {
                done(CaptureError::make(CaptureError::Kind::cancelled));
                return;
            }
            if (a.response != 0) {
                m_lastFailure = portal::error(portal::Failure::refused,
                                              QStringLiteral("The desktop refused to take a "
                                                             "screenshot."));
                done(m_lastFailure);
                return;
            }
            const QString file = fileOf(a);
            QImageReader reader(file);
            QImage desktop = reader.read();
            removePortalFile(file);
            if (desktop.isNull()) {
                m_lastFailure = portal::error(
                    portal::Failure::refused,
                    QStringLiteral("The screenshot portal's picture could not be read (%1).")
                        .arg(file.isEmpty() ? QStringLiteral("no file given")
                                            : reader.errorString()));
                done(m_lastFailure);
                return;
            }
            done(DesktopLayout::split(desktop, screens));
        },
        [](const PortalRequest::Answer& late) {
            if (late.response == 0)
                removePortalFile(fileOf(late));
        });
}

QString PortalCaptureBackend::failureHint() const {
    using portal::Failure;
    if (portal::is(m_lastFailure, Failure::noService))
        return QStringLiteral(
            "\n\nOn Wayland kestrova takes the screen through the desktop portal. Install "
            "xdg-desktop-portal and your desktop's portal (xdg-desktop-portal-gnome, "
            "xdg-desktop-portal-kde or xdg-desktop-portal-wlr), then log in again.");
    if (portal::is(m_lastFailure, Failure::noInterface))
        return QStringLiteral(
            "\n\nThe desktop portal runs but cannot take screenshots: install your desktop's "
            "portal (xdg-desktop-portal-gnome, xdg-desktop-portal-kde or "
            "xdg-desktop-portal-wlr), then log in again.");
    if (portal::is(m_lastFailure, Failure::noAnswer))
        return QStringLiteral(
            "\n\nThe desktop portal did not answer in time; it may be busy or waiting for "
            "another dialog. Try again in a moment.");
    return QStringLiteral("\n\nThe desktop refused the screenshot. Check that screen "
                          "capture is allowed for kestrova in the desktop's privacy "
                          "settings, then try again.");
}

} // namespace kestrova
