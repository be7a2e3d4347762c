#pragma once

#include "HotKeyBackend.h"

#include <QDBusConnection>
#include <QDBusObjectPath>
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
                                 std::chrono::milliseconds timeout = std::chrono::seconds(60));
    ~PortalHotKeyBackend() override;

    [[nodiscard]] Status grab(std::uint32_t virtualKey, std::uint32_t carbonModifiers) override;
    void release() override;

    // The session the shortcut is bound in, once the desktop has bound it (for tests).
    QString boundSession() const { return m_bound ? m_session : QString(); }

private:
    void createSession(unsigned generation);
    void bind(unsigned generation);
    void closeSession();
    void closeSession(const QString& session);
    void sayUnavailable(const QString& why);
    Q_SLOT void onActivated(const QDBusObjectPath& session, const QString& id, qulonglong timestamp,
                            const QVariantMap& options);

    QDBusConnection m_bus;
    std::chrono::milliseconds m_timeout;
    unsigned m_generation = 0; // answers to an earlier grab or release are stale
    std::optional<std::uint32_t> m_key, m_modifiers;
    QString m_trigger;
    QString m_session;
    bool m_bound = false;
    bool m_toldUnavailable = false;
};

} // namespace kestrova
