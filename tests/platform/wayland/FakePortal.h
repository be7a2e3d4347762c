#pragma once

#include "PortalShortcut.h"
#include "PrivateBus.h"

#include <QDBusAbstractAdaptor>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QObject>
#include <QStringList>
#include <QVariantMap>

#include <memory>
#include <optional>

namespace kestrova::test {

// The desktop portal as a test wants it: owns the portal's name on a private bus,
// answers each request as told, and records what it was asked.
class FakePortal final : public QObject {
    Q_OBJECT
public:
    struct Interfaces {
        bool screenshot = true;
        bool globalShortcuts = true;
    };
    FakePortal(const PrivateBus& bus, Interfaces interfaces);
    ~FakePortal() override;

    // How the next screenshot requests are answered: the response code and the file
    // named in the answer, after `delayMs`; no answer at all when `response` is empty.
    std::optional<uint> response = 0;
    QString uri;
    int delayMs = 0;
    bool replies = true; // false: the call itself is never replied to
    // What the permission store holds for screenshots (empty: no entry), and whether a
    // "failed" answer stands for the user's Deny, which the desktop then stores.
    QStringList screenshotPermission;
    bool denyIsStored = false;
    // Whether a successful answer with nothing stored stands for the user's Allow in a
    // dialog, which the desktop then stores; that answer names `dialogUri`, a picture
    // taken while the dialog was still on screen.
    bool allowIsStored = false;
    QString dialogUri;

    // What was asked.
    QList<QVariantMap> screenshotOptions;
    QStringList requestPaths;
    QList<PortalShortcuts> boundShortcuts;
    QStringList sessions, closedSessions;
    QList<QVariantMap> sessionOptions;

    // Sends a press of a shortcut to the clients.
    void activate(const QString& session, const QString& id);
    // The desktop's own doings: it ends a session, or the user changes the shortcuts.
    void closeSessionAsTheDesktop(const QString& session);
    void changeShortcuts(const QString& session, const PortalShortcuts& shortcuts);

    // Handlers of the adaptors.
    QDBusObjectPath screenshot(const QVariantMap& options, const QDBusMessage& message);
    QDBusObjectPath createSession(const QVariantMap& options, const QDBusMessage& message);
    QDBusObjectPath bindShortcuts(const QDBusObjectPath& session, const PortalShortcuts& shortcuts,
                                  const QVariantMap& options, const QDBusMessage& message);
    void closeSession(const QString& path);
    QString busName() const { return m_bus.name(); }

private:
    QString requestPath(const QDBusMessage& message, const QVariantMap& options);
    void respond(const QString& path, uint response, const QVariantMap& results, int delayMs);

    QDBusConnection m_bus;
    int m_sessionCount = 0;
};

} // namespace kestrova::test
