#pragma once

#include "CaptureBackend.h"

#include <QDBusConnection>
#include <QObject>

#include <atomic>
#include <memory>

namespace kestrova {

// Reads KDE Plasma's screens through KWin's own screenshot service: each screen at its
// native resolution, without the pointer, the raw pixels handed over through a pipe
// (no file, no picture to decode). KWin serves only programs installed with a desktop
// entry that names the service; where it refuses, or runs no such service, captures
// go to `fallback` (the desktop portal) from then on.
class KWinCaptureBackend final : public CaptureBackend {
public:
    KWinCaptureBackend(std::shared_ptr<CaptureBackend> fallback,
                       QDBusConnection bus = QDBusConnection::sessionBus());
    ~KWinCaptureBackend() override;
    KWinCaptureBackend(const KWinCaptureBackend&) = delete;
    KWinCaptureBackend& operator=(const KWinCaptureBackend&) = delete;

    // Whole screens only: everything comes from the stills taken when a capture starts.
    Expected<QImage> grab(const QRect& nativeRect) override;
    QFuture<Stills> grabStills(const std::vector<ScreenInfo>& screens) override;
    bool isCompositing() const override { return false; }
    QString failureHint() const override;
    bool settingsCanHelp() const override { return m_fallback->settingsCanHelp(); }
    void releaseCaches() override { m_fallback->releaseCaches(); }

    // Whether captures go to the fallback: KWin refused kestrova, or has no such service.
    bool usesFallback() const { return m_refused; }

    static constexpr char service[] = "org.kde.KWin";
    static constexpr char path[] = "/org/kde/KWin/ScreenShot2";
    static constexpr char interface[] = "org.kde.KWin.ScreenShot2";

private:
    std::shared_ptr<CaptureBackend> m_fallback;
    QDBusConnection m_bus;
    std::atomic<bool> m_refused = false;
    std::unique_ptr<QObject> m_pending; // parent of the watchers of captures in flight
};

} // namespace kestrova
