#include "PortalCaptureBackend.h"

#include "CaptureError.h"
#include "DesktopLayout.h"
#include "PortalRequest.h"

#include "PortalPicture.h"

#include <QDir>
#include <QFutureWatcher>
#include <QPromise>
#include <QStandardPaths>
#include <QtConcurrent/QtConcurrentRun>
#include <QUrl>

namespace kestrova {

namespace {

QString fileOf(const PortalRequest::Answer& answer) {
    const QUrl uri(answer.results.value(QStringLiteral("uri")).toString());
    return uri.isLocalFile() ? uri.toLocalFile() : QString();
}

} // namespace

PortalCaptureBackend::PortalCaptureBackend(QDBusConnection bus, PortalRequest::Timeouts timeouts)
    : m_bus(std::move(bus)), m_timeouts(timeouts), m_requests(std::make_unique<QObject>()) {}

PortalCaptureBackend::~PortalCaptureBackend() = default;

Expected<QImage> PortalCaptureBackend::grab(const QRect&) {
    return Error{QStringLiteral("The screenshot portal only takes whole pictures of the "
                                "desktop when a capture starts.")};
}

QFuture<CaptureBackend::Stills>
PortalCaptureBackend::grabStills(const std::vector<ScreenInfo>& screens) {
    // Shared by the answer's handlers; if they are dropped unanswered (the backend is
    // gone), its destruction cancels the future.
    auto promise = std::make_shared<QPromise<Stills>>();
    promise->start();
    const auto done = [promise](Stills stills) {
        promise->addResult(std::move(stills));
        promise->finish();
    };
    QDBusMessage call = QDBusMessage::createMethodCall(
        QLatin1String(portal::service), QLatin1String(portal::path),
        QStringLiteral("org.freedesktop.portal.Screenshot"), QStringLiteral("Screenshot"));
    // No parent window: none of kestrova's is shown yet. Not interactive: the user
    // picks the region in kestrova's own overlay.
    call << QString() << QVariantMap{{QStringLiteral("interactive"), false}};
    // Some portals write their picture into the user's pictures folder, and answer
    // "cancelled" when it is missing (a new account on KDE Plasma). kestrova saves its
    // screenshots inside it anyway.
    if (const QString pictures = QStandardPaths::writableLocation(QStandardPaths::PicturesLocation);
        !pictures.isEmpty())
        QDir().mkpath(pictures);

    const int limit = PortalPicture::allocationLimit(screens);
    PortalRequest::send(
        m_bus, call, m_timeouts, m_requests.get(),
        [this, screens, done, limit](Expected<PortalRequest::Answer> answer) {
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
            // Reading, decoding and cutting a whole desktop takes a while: not on the
            // GUI thread.
            auto* watcher = new QFutureWatcher<Stills>(m_requests.get());
            QObject::connect(watcher, &QFutureWatcherBase::finished, watcher,
                             [this, watcher, done] {
                                 watcher->deleteLater();
                                 Stills stills = watcher->result();
                                 if (!stills)
                                     m_lastFailure = stills.error();
                                 done(std::move(stills));
                             });
            watcher->setFuture(QtConcurrent::run([file = fileOf(a), screens, limit]() -> Stills {
                Expected<QImage> desktop = PortalPicture::take(file, limit);
                if (!desktop)
                    return desktop.error();
                return DesktopLayout::split(desktop.value(), screens);
            }));
        },
        [limit](const PortalRequest::Answer& late) {
            // Too late for its capture, but the portal wrote the picture for kestrova:
            // take it, so that it does not pile up in the user's folders.
            if (late.response == 0)
                (void)QtConcurrent::run(
                    [file = fileOf(late), limit] { (void)PortalPicture::take(file, limit); });
        });
    return promise->future();
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
    if (portal::is(m_lastFailure, Failure::unreadable))
        return QStringLiteral("\n\nThe desktop took the screenshot, but kestrova could not "
                              "read the picture it wrote. Try again.");
    if (portal::is(m_lastFailure, Failure::noAnswer))
        return QStringLiteral(
            "\n\nThe desktop portal did not answer in time; it may be busy or waiting for "
            "another dialog. Try again in a moment.");
    return QStringLiteral("\n\nThe desktop refused the screenshot. Check that screen "
                          "capture is allowed for kestrova in the desktop's privacy "
                          "settings, then try again.");
}

} // namespace kestrova
