#pragma once

#include "HotKeyBackend.h"
#include "PortalRequest.h"
#include "PortalShortcut.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QElapsedTimer>
#include <QObject>
#include <QVariantMap>

#include <chrono>
#include <cstdint>
#include <optional>

namespace kestrova {

// The hot key through the desktop's global-shortcuts portal: kestrova asks for its
// shortcut, the desktop owns the key (and may let the user pick another), and reports
// presses back. Answers come later, so a grab succeeds when it is asked for; what
// the desktop then says goes to standard error.
class PortalHotKeyBackend final : public QObject, public HotKeyBackend {
    Q_OBJECT
public:
    static constexpr char shortcutId[] = "capture-region";

    explicit PortalHotKeyBackend(QDBusConnection bus = QDBusConnection::sessionBus(),
                                 PortalRequest::Timeouts timeouts = {std::chrono::seconds(60),
                                                                     std::chrono::minutes(5)});
    ~PortalHotKeyBackend() override;

    [[nodiscard]] Status grab(std::uint32_t virtualKey, std::uint32_t carbonModifiers) override;
    void release() override;

    // The session the shortcut is bound in, once the desktop has bound it (for tests).
    QString boundSession() const { return m_bound ? m_session : QString(); }
    // The key the desktop says starts a capture, in its own words, once it has said so
    // (the user may pick another in the desktop's settings).
    QString desktopTrigger() const { return m_desktopTrigger; }

private:
    void createSession(unsigned generation);
    void bind(unsigned generation);
    // The shortcut kestrova asks for, as the portal takes it.
    PortalShortcuts wanted() const;
    // Whether this desktop binds the shortcuts given when the session is made, and does
    // nothing useful with BindShortcuts (KDE Plasma).
    static bool bindsAtCreation();
    void closeSession();
    void closeSession(const QString& session);
    void sayUnavailable(const QString& why);
    void follow(const PortalShortcuts& shortcuts);
    Q_SLOT void onActivated(const QDBusObjectPath& session, const QString& id, qulonglong timestamp,
                            const QVariantMap& options);
    Q_SLOT void onShortcutsChanged(const QDBusMessage& message);
    Q_SLOT void onSessionClosed(const QDBusMessage& message);

    QDBusConnection m_bus;
    PortalRequest::Timeouts m_timeouts;
    unsigned m_generation = 0; // answers to an earlier grab or release are stale
    std::optional<std::uint32_t> m_key, m_modifiers;
    QString m_trigger;
    QString m_session;
    QString m_desktopTrigger;
    bool m_bound = false;
    QElapsedTimer m_reopened; // since a session the desktop closed was opened again
    bool m_toldUnavailable = false;
};

} // namespace kestrova
