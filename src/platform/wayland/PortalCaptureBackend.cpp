#include "PortalCaptureBackend.h"

#include "CaptureError.h"
#include "DesktopLayout.h"
#include "PortalRequest.h"

#include "PortalPicture.h"

#include <QDBusArgument>
#include <QDBusPendingCallWatcher>
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

// Where desktops that ask before a program's first screenshot (GNOME) keep the answer:
// "no" for programs outside a sandbox once the user declined.
QDBusPendingCall askPermissionStore(const QDBusConnection& bus) {
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.impl.portal.PermissionStore"),
        QStringLiteral("/org/freedesktop/impl/portal/PermissionStore"),
        QStringLiteral("org.freedesktop.impl.portal.PermissionStore"), QStringLiteral("Lookup"));
    call << QStringLiteral("screenshot") << QStringLiteral("screenshot");
    return bus.asyncCall(call, 2000);
}

// Whether the store's answer for programs outside a sandbox is `word` ("yes" or "no");
// no store, table or entry holds either.
bool holdsAnswer(const QDBusPendingCall& lookup, const char* word) {
    const QDBusMessage reply = lookup.reply();
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return false;
    QMap<QString, QStringList> programs;
    reply.arguments().constFirst().value<QDBusArgument>() >> programs;
    return programs.value(QString()).contains(QLatin1String(word));
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
    // Some portals write their picture into the user's pictures folder, and answer
    // "cancelled" when it is missing (a new account on KDE Plasma). kestrova saves its
    // screenshots inside it anyway.
    if (const QString pictures = QStandardPaths::writableLocation(QStandardPaths::PicturesLocation);
        !pictures.isEmpty())
        QDir().mkpath(pictures);
    request(screens, [promise](Stills stills) {
        promise->addResult(std::move(stills));
        promise->finish();
    });
    return promise->future();
}

void PortalCaptureBackend::request(const std::vector<ScreenInfo>& screens,
                                   const std::function<void(Stills)>& done, bool mayTakeAgain) {
    QDBusMessage call = QDBusMessage::createMethodCall(
        QLatin1String(portal::service), QLatin1String(portal::path),
        QStringLiteral("org.freedesktop.portal.Screenshot"), QStringLiteral("Screenshot"));
    // No parent window: none of kestrova's is shown yet. Not interactive: the user
    // picks the region in kestrova's own overlay.
    call << QString() << QVariantMap{{QStringLiteral("interactive"), false}};

    const int limit = PortalPicture::allocationLimit(screens);
    // The desktop takes a while (a tenth of a second and more), and the picture's memory
    // is slow to touch for the first time: that is done meanwhile.
    const ReadyMemory memory = QtConcurrent::run([pixels = PortalPicture::desktopPixels(screens)] {
        return std::make_shared<PngDecoder::Memory>(PngDecoder::Memory::make(pixels));
    });
    // What the desktop remembered before this request, long answered by the time the
    // portal is (a person reads its dialog, if any).
    const QDBusPendingCall before = askPermissionStore(m_bus);
    PortalRequest::send(
        m_bus, call, m_timeouts, m_requests.get(),
        [this, screens, done, limit, memory, before,
         mayTakeAgain](Expected<PortalRequest::Answer> answer) {
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
                auto* earlier = new QDBusPendingCallWatcher(before, m_requests.get());
                QObject::connect(earlier, &QDBusPendingCallWatcher::finished, earlier,
                                 [this, earlier, done] {
                                     earlier->deleteLater();
                                     refused(holdsAnswer(*earlier, "no"), done);
                                 });
                return;
            }
            if (!mayTakeAgain || holdsAnswer(before, "yes")) {
                deliver(fileOf(a), screens, limit, memory, done);
                return;
            }
            // Allowed just now, in the desktop's dialog? Its picture may then hold the
            // dialog itself, taken before the desktop had drawn the screen without it:
            // the screen is taken again, which asks nothing now.
            auto* after = new QDBusPendingCallWatcher(askPermissionStore(m_bus), m_requests.get());
            QObject::connect(after, &QDBusPendingCallWatcher::finished, after,
                             [this, after, file = fileOf(a), screens, limit, memory, done] {
                                 after->deleteLater();
                                 if (!holdsAnswer(*after, "yes")) {
                                     deliver(file, screens, limit, memory, done);
                                     return;
                                 }
                                 (void)QtConcurrent::run(
                                     [file, limit] { (void)PortalPicture::take(file, limit); });
                                 request(screens, done, false);
                             });
        },
        [limit](const PortalRequest::Answer& late) {
            // Too late for its capture, but the portal wrote the picture for kestrova:
            // take it, so that it does not pile up in the user's folders.
            if (late.response == 0)
                (void)QtConcurrent::run(
                    [file = fileOf(late), limit] { (void)PortalPicture::take(file, limit); });
        });
}

void PortalCaptureBackend::deliver(const QString& file, const std::vector<ScreenInfo>& screens,
                                   int limit, const ReadyMemory& memory,
                                   const std::function<void(Stills)>& done) {
    // Reading, decoding and cutting a whole desktop takes a while: not on the GUI thread.
    auto* watcher = new QFutureWatcher<Stills>(m_requests.get());
    QObject::connect(watcher, &QFutureWatcherBase::finished, watcher, [this, watcher, done] {
        watcher->deleteLater();
        Stills stills = watcher->result();
        if (!stills)
            m_lastFailure = stills.error();
        done(std::move(stills));
    });
    watcher->setFuture(QtConcurrent::run([file, screens, limit, memory]() -> Stills {
        const std::shared_ptr<PngDecoder::Memory> ready = memory.result();
        Expected<QImage> desktop = PortalPicture::take(file, limit, std::move(*ready));
        if (!desktop)
            return desktop.error();
        return DesktopLayout::split(std::move(desktop.value()), screens);
    }));
}

void PortalCaptureBackend::refused(bool refusedBefore, const std::function<void(Stills)>& done) {
    if (refusedBefore) {
        m_lastFailure = portal::error(portal::Failure::refusedBefore,
                                      QStringLiteral("The desktop refused the screenshot: it "
                                                     "remembers that screenshots were declined "
                                                     "for applications."));
        done(m_lastFailure);
        return;
    }
    // Declined just now, in the desktop's own dialog, if the store says so now.
    auto* after = new QDBusPendingCallWatcher(askPermissionStore(m_bus), m_requests.get());
    QObject::connect(after, &QDBusPendingCallWatcher::finished, after, [this, after, done] {
        after->deleteLater();
        if (holdsAnswer(*after, "no")) {
            done(CaptureError::make(CaptureError::Kind::cancelled));
            return;
        }
        m_lastFailure = portal::error(portal::Failure::refused,
                                      QStringLiteral("The desktop refused to take a screenshot."));
        done(m_lastFailure);
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
    if (portal::is(m_lastFailure, Failure::unreadable))
        return QStringLiteral("\n\nThe desktop took the screenshot, but kestrova could not "
                              "read the picture it wrote. Try again.");
    if (portal::is(m_lastFailure, Failure::refusedBefore))
        return QStringLiteral(
            "\n\nTo be asked again at the next capture, run this in a terminal:\n"
            "gdbus call --session --dest org.freedesktop.impl.portal.PermissionStore "
            "--object-path /org/freedesktop/impl/portal/PermissionStore --method "
            "org.freedesktop.impl.portal.PermissionStore.DeletePermission screenshot "
            "screenshot ''");
    if (portal::is(m_lastFailure, Failure::noAnswer))
        return QStringLiteral(
            "\n\nThe desktop portal did not answer in time; it may be busy or waiting for "
            "another dialog. Try again in a moment.");
    return QStringLiteral("\n\nThe desktop refused the screenshot. Check that screen "
                          "capture is allowed for kestrova in the desktop's privacy "
                          "settings, then try again.");
}

} // namespace kestrova
