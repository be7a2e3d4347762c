#pragma once

#include "CaptureBackend.h"
#include "Error.h"
#include "PngDecoder.h"
#include "PortalRequest.h"

#include <QDBusConnection>
#include <QFuture>
#include <QObject>

#include <functional>

#include <chrono>
#include <memory>

namespace kestrova {

// Takes the screen through the desktop's screenshot portal, the one way a Wayland
// client may read other clients' pixels. The portal hands over a still picture of the
// whole desktop, so the overlay always shows stills.
class PortalCaptureBackend final : public CaptureBackend {
public:
    // The portal replies at once; its answer may wait for the user to allow the
    // screenshot in a dialog of the desktop's, which is left up for as long as that.
    static constexpr PortalRequest::Timeouts defaultTimeouts{std::chrono::seconds(10),
                                                             std::chrono::minutes(5)};

    explicit PortalCaptureBackend(QDBusConnection bus = QDBusConnection::sessionBus(),
                                  PortalRequest::Timeouts timeouts = defaultTimeouts);
    ~PortalCaptureBackend() override;
    PortalCaptureBackend(const PortalCaptureBackend&) = delete;
    PortalCaptureBackend& operator=(const PortalCaptureBackend&) = delete;

    // The portal cannot read a part of the screen on demand: everything comes from the
    // stills taken when a capture starts.
    Expected<QImage> grab(const QRect& nativeRect) override;
    QFuture<Stills> grabStills(const std::vector<ScreenInfo>& screens) override;
    bool isCompositing() const override { return false; }
    QString failureHint() const override;
    // Nothing kestrova's settings hold can make a portal take screenshots.
    bool settingsCanHelp() const override { return false; }

private:
    // Memory for the portal's picture, made ready while the desktop takes it.
    using ReadyMemory = QFuture<std::shared_ptr<PngDecoder::Memory>>;

    // Asks the portal for the desktop's picture; `mayTakeAgain` while a picture taken
    // as the user answered the desktop's dialog may still be replaced by a clean one.
    void request(const std::vector<ScreenInfo>& screens, const std::function<void(Stills)>& done,
                 bool mayTakeAgain = true);
    // Reads the portal's picture and cuts it into the screens' stills.
    void deliver(const QString& file, const std::vector<ScreenInfo>& screens, int limit,
                 const ReadyMemory& memory, const std::function<void(Stills)>& done);
    // Sorts out a "failed" answer: the user's own Deny in the desktop's dialog is an
    // answer, not a failure; a refusal the desktop stored earlier is explained.
    void refused(bool refusedBefore, const std::function<void(Stills)>& done);

    QDBusConnection m_bus;
    PortalRequest::Timeouts m_timeouts;
    std::unique_ptr<QObject> m_requests; // parent of requests in flight
    Error m_lastFailure;
};

} // namespace kestrova
