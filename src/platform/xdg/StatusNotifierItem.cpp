#include "StatusNotifierItem.h"

#include "DBusMenu.h"
#include "StatusNotifierAdaptor.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusServiceWatcher>

namespace kestrova {

namespace {

const QString watcherService = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString watcherPath = QStringLiteral("/StatusNotifierWatcher");
const QString itemPath = QStringLiteral("/StatusNotifierItem");
const QString menuPath = QStringLiteral("/MenuBar");

} // namespace

StatusNotifierItem::StatusNotifierItem(const QIcon& icon, const QString& title, Menu menu,
                                       QObject* parent)
    : QObject(parent), m_icon(icon), m_title(title),
      m_service(QStringLiteral("org.kde.StatusNotifierItem-%1-1")
                    .arg(QCoreApplication::applicationPid())) {
    StatusNotifierAdaptor::registerTypes();
    new StatusNotifierAdaptor(this);
    m_menu = new DBusMenu(menu.actions, std::move(menu.aboutToShow), this);
}

StatusNotifierItem::~StatusNotifierItem() {
    if (!m_shown)
        return;
    QDBusConnection bus = QDBusConnection::sessionBus();
    bus.unregisterObject(itemPath);
    bus.unregisterObject(menuPath);
    bus.unregisterService(m_service);
}

bool StatusNotifierItem::hostAvailable() {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected() || !bus.interface()->isServiceRegistered(watcherService))
        return false;
    QDBusMessage ask = QDBusMessage::createMethodCall(
        watcherService, watcherPath, QStringLiteral("org.freedesktop.DBus.Properties"),
        QStringLiteral("Get"));
    ask << watcherService << QStringLiteral("IsStatusNotifierHostRegistered");
    const QDBusMessage reply = bus.call(ask, QDBus::Block, 2000);
    return reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty() &&
           reply.arguments().constFirst().value<QDBusVariant>().variant().toBool();
}

bool StatusNotifierItem::show() {
    if (m_shown)
        return true;
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.registerObject(itemPath, this, QDBusConnection::ExportAdaptors) ||
        !bus.registerObject(menuPath, m_menu,
                            QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals |
                                QDBusConnection::ExportAllProperties)) {
        bus.unregisterObject(itemPath);
        return false;
    }
    if (!bus.registerService(m_service)) {
        bus.unregisterObject(itemPath);
        bus.unregisterObject(menuPath);
        return false;
    }
    m_shown = true;
    // A tray that starts anew (the desktop's shell restarting) knows no icons.
    auto* watcher = new QDBusServiceWatcher(watcherService, bus,
                                            QDBusServiceWatcher::WatchForRegistration, this);
    connect(watcher, &QDBusServiceWatcher::serviceRegistered, this,
            &StatusNotifierItem::registerWithTray);
    registerWithTray();
    return true;
}

void StatusNotifierItem::registerWithTray() {
    QDBusMessage call = QDBusMessage::createMethodCall(
        watcherService, watcherPath, watcherService, QStringLiteral("RegisterStatusNotifierItem"));
    call << m_service;
    // Not waited for: the tray may be busy, and nothing here depends on its answer.
    QDBusConnection::sessionBus().asyncCall(call);
}

} // namespace kestrova
