#include "FakePortal.h"

#include <QDBusConnectionInterface>
#include <QDBusMetaType>
#include <QTimer>

namespace kestrova::test {

namespace {

class ScreenshotAdaptor final : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.portal.Screenshot")
public:
    explicit ScreenshotAdaptor(FakePortal* portal)
        : QDBusAbstractAdaptor(portal), m_portal(portal) {}
public slots:
    QDBusObjectPath Screenshot(const QString&, const QVariantMap& options,
                               const QDBusMessage& message) {
        return m_portal->screenshot(options, message);
    }

private:
    FakePortal* m_portal;
};

class ShortcutsAdaptor final : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.portal.GlobalShortcuts")
public:
    explicit ShortcutsAdaptor(FakePortal* portal)
        : QDBusAbstractAdaptor(portal), m_portal(portal) {}
public slots:
    QDBusObjectPath CreateSession(const QVariantMap& options, const QDBusMessage& message) {
        return m_portal->createSession(options, message);
    }
    QDBusObjectPath BindShortcuts(const QDBusObjectPath& session,
                                  const QList<kestrova::PortalShortcut>& shortcuts, const QString&,
                                  const QVariantMap& options, const QDBusMessage& message) {
        return m_portal->bindShortcuts(session, shortcuts, options, message);
    }

private:
    FakePortal* m_portal;
};

// The permission store, holding what the user answered the desktop's question about
// screenshots (GNOME asks at a program's first one).
class StoreObject final : public QObject {
    Q_OBJECT
public:
    explicit StoreObject(FakePortal* portal) : QObject(portal), m_portal(portal) {}

private:
    FakePortal* m_portal;
    friend class StoreAdaptor;
};

class StoreAdaptor final : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.impl.portal.PermissionStore")
public:
    explicit StoreAdaptor(StoreObject* store) : QDBusAbstractAdaptor(store), m_store(store) {}
public slots:
    QMap<QString, QStringList> Lookup(const QString& table, const QString& id,
                                      const QDBusMessage& message, QDBusVariant& data) {
        data = QDBusVariant(QVariant(0));
        const QStringList& stored = m_store->m_portal->screenshotPermission;
        if (table != QLatin1String("screenshot") || id != QLatin1String("screenshot") ||
            stored.isEmpty()) {
            message.setDelayedReply(true);
            QDBusConnection(m_store->m_portal->busName())
                .send(message.createErrorReply(
                    QStringLiteral("org.freedesktop.portal.Error.NotFound"),
                    QStringLiteral("No entry")));
            return {};
        }
        return {{QString(), stored}};
    }

private:
    StoreObject* m_store;
};

class SessionObject final : public QObject {
    Q_OBJECT
public:
    SessionObject(FakePortal* portal, QString path)
        : QObject(portal), m_portal(portal), m_path(std::move(path)) {}

private:
    FakePortal* m_portal;
    QString m_path;
    friend class SessionAdaptor;
};

class SessionAdaptor final : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.portal.Session")
public:
    explicit SessionAdaptor(SessionObject* session)
        : QDBusAbstractAdaptor(session), m_session(session) {}
public slots:
    void Close() { m_session->m_portal->closeSession(m_session->m_path); }

private:
    SessionObject* m_session;
};

} // namespace

FakePortal::FakePortal(const PrivateBus& bus, Interfaces interfaces)
    : m_bus(bus.connect(QStringLiteral("fake-portal"))) {
    PortalShortcut::registerType();
    if (interfaces.screenshot)
        new ScreenshotAdaptor(this);
    if (interfaces.globalShortcuts)
        new ShortcutsAdaptor(this);
    m_bus.registerObject(QStringLiteral("/org/freedesktop/portal/desktop"), this);
    m_bus.registerService(QStringLiteral("org.freedesktop.portal.Desktop"));
    qDBusRegisterMetaType<QMap<QString, QStringList>>();
    auto* store = new StoreObject(this);
    new StoreAdaptor(store);
    m_bus.registerObject(QStringLiteral("/org/freedesktop/impl/portal/PermissionStore"), store);
    m_bus.registerService(QStringLiteral("org.freedesktop.impl.portal.PermissionStore"));
}

FakePortal::~FakePortal() {
    m_bus.unregisterService(QStringLiteral("org.freedesktop.portal.Desktop"));
    m_bus.unregisterService(QStringLiteral("org.freedesktop.impl.portal.PermissionStore"));
    m_bus.unregisterObject(QStringLiteral("/org/freedesktop/impl/portal/PermissionStore"));
    m_bus.unregisterObject(QStringLiteral("/org/freedesktop/portal/desktop"));
    QDBusConnection::disconnectFromBus(m_bus.name());
}

QString FakePortal::requestPath(const QDBusMessage& message, const QVariantMap& options) {
    // The path portals promise their callers: the caller's unique name without
    // its colon, dots as underscores, then the caller's token.
    QString sender = message.service().mid(1);
    sender.replace(u'.', u'_');
    const QString path = QStringLiteral("/org/freedesktop/portal/desktop/request/%1/%2")
                             .arg(sender, options.value(QStringLiteral("handle_token")).toString());
    requestPaths << path;
    return path;
}

void FakePortal::respond(const QString& path, uint code, const QVariantMap& results, int delay) {
    QTimer::singleShot(delay, this, [this, path, code, results] {
        QDBusMessage signal = QDBusMessage::createSignal(
            path, QStringLiteral("org.freedesktop.portal.Request"), QStringLiteral("Response"));
        signal << code << results;
        m_bus.send(signal);
    });
}

QDBusObjectPath FakePortal::screenshot(const QVariantMap& options, const QDBusMessage& message) {
    screenshotOptions << options;
    const QString path = requestPath(message, options);
    if (!replies) {
        message.setDelayedReply(true);
        return {};
    }
    // The user declines in the desktop's dialog, which the desktop remembers.
    if (response == 2u && denyIsStored)
        screenshotPermission = {QStringLiteral("no")};
    QString picture = uri;
    if (response == 0u && allowIsStored && screenshotPermission.isEmpty()) {
        screenshotPermission = {QStringLiteral("yes")};
        picture = dialogUri;
    }
    if (response)
        respond(path, *response,
                picture.isEmpty() ? QVariantMap() : QVariantMap{{QStringLiteral("uri"), picture}},
                delayMs);
    return QDBusObjectPath(path);
}

QDBusObjectPath FakePortal::createSession(const QVariantMap& options, const QDBusMessage& message) {
    const QString path = requestPath(message, options);
    QString sender = message.service().mid(1);
    sender.replace(u'.', u'_');
    const QString session =
        QStringLiteral("/org/freedesktop/portal/desktop/session/%1/%2")
            .arg(sender, options.value(QStringLiteral("session_handle_token")).toString());
    sessions << session;
    sessionOptions << options;
    auto* object = new SessionObject(this, session);
    new SessionAdaptor(object);
    m_bus.registerObject(session, object);
    respond(path, 0, {{QStringLiteral("session_handle"), session}}, 0);
    return QDBusObjectPath(path);
}

QDBusObjectPath FakePortal::bindShortcuts(const QDBusObjectPath&, const PortalShortcuts& shortcuts,
                                          const QVariantMap& options, const QDBusMessage& message) {
    const QString path = requestPath(message, options);
    boundShortcuts << shortcuts;
    // Desktops answer with what they bound, and the key they chose in their own words.
    PortalShortcuts bound = shortcuts;
    for (PortalShortcut& shortcut : bound)
        shortcut.properties.insert(QStringLiteral("trigger_description"),
                                   shortcut.properties.value(QStringLiteral("preferred_trigger")));
    respond(path, 0, {{QStringLiteral("shortcuts"), QVariant::fromValue(bound)}}, 0);
    return QDBusObjectPath(path);
}

void FakePortal::closeSession(const QString& path) {
    closedSessions << path;
    m_bus.unregisterObject(path);
}

void FakePortal::closeSessionAsTheDesktop(const QString& session) {
    m_bus.unregisterObject(session);
    QDBusMessage signal = QDBusMessage::createSignal(
        session, QStringLiteral("org.freedesktop.portal.Session"), QStringLiteral("Closed"));
    signal << QVariantMap();
    m_bus.send(signal);
}

void FakePortal::changeShortcuts(const QString& session, const PortalShortcuts& shortcuts) {
    QDBusMessage signal =
        QDBusMessage::createSignal(QStringLiteral("/org/freedesktop/portal/desktop"),
                                   QStringLiteral("org.freedesktop.portal.GlobalShortcuts"),
                                   QStringLiteral("ShortcutsChanged"));
    signal << QVariant::fromValue(QDBusObjectPath(session)) << QVariant::fromValue(shortcuts);
    m_bus.send(signal);
}

void FakePortal::activate(const QString& session, const QString& id) {
    QDBusMessage signal = QDBusMessage::createSignal(
        QStringLiteral("/org/freedesktop/portal/desktop"),
        QStringLiteral("org.freedesktop.portal.GlobalShortcuts"), QStringLiteral("Activated"));
    signal << QVariant::fromValue(QDBusObjectPath(session)) << id << qulonglong(1) << QVariantMap();
    m_bus.send(signal);
}

} // namespace kestrova::test

#include "FakePortal.moc"
