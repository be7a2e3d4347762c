#include "DBusMenu.h"
#include "PrivateBus.h"
#include "StatusNotifierAdaptor.h"
#include "StatusNotifierItem.h"

#include <QAction>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusContext>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QGuiApplication>
#include <QMutex>
#include <QPixmap>
#include <QSignalSpy>
#include <QTest>
#include <QThread>

using namespace kestrova;

// The desktop's tray: the watcher items register with. It answers from a thread of its
// own, as a separate process would, so that kestrova's blocking question is answered.
class FakeTray final : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ hostRegistered)

public:
    FakeTray() : m_bus(QDBusConnection::connectToBus(QDBusConnection::SessionBus, name())) {
        moveToThread(&m_thread);
        m_thread.start();
        m_bus.registerObject(QStringLiteral("/StatusNotifierWatcher"), this,
                             QDBusConnection::ExportAllSlots |
                                 QDBusConnection::ExportAllProperties);
        m_bus.registerService(QStringLiteral("org.kde.StatusNotifierWatcher"));
    }
    ~FakeTray() override {
        m_bus.unregisterService(QStringLiteral("org.kde.StatusNotifierWatcher"));
        m_bus.unregisterObject(QStringLiteral("/StatusNotifierWatcher"));
        QDBusConnection::disconnectFromBus(name());
        m_thread.quit();
        m_thread.wait();
    }
    bool hostRegistered() const { return true; }
    QStringList registered() const {
        QMutexLocker lock(&m_mutex);
        return m_registered;
    }

public slots:
    void RegisterStatusNotifierItem(const QString& service) {
        QMutexLocker lock(&m_mutex);
        m_registered.append(service);
    }

private:
    QString name() const { return QStringLiteral("tray-%1").arg(reinterpret_cast<quintptr>(this)); }
    QThread m_thread;
    QDBusConnection m_bus;
    mutable QMutex m_mutex;
    QStringList m_registered;
};

namespace {

// A call from the tray's side; the item answers on this thread, so wait with events.
QDBusMessage call(const QString& service, const QString& path, const QString& interface,
                  const QString& method, const QVariantList& arguments = {}) {
    static QDBusConnection tray =
        QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("reader"));
    QDBusMessage message = QDBusMessage::createMethodCall(service, path, interface, method);
    message.setArguments(arguments);
    QDBusPendingCall pending = tray.asyncCall(message);
    if (!QTest::qWaitFor([&] { return pending.isFinished(); }, 5000))
        return {};
    return pending.reply();
}

QVariant read(const QString& service, const QString& path, const QString& interface,
              const QString& name) {
    const QDBusMessage reply =
        call(service, path, QStringLiteral("org.freedesktop.DBus.Properties"),
             QStringLiteral("Get"), {interface, name});
    return reply.arguments().value(0).value<QDBusVariant>().variant();
}

QIcon solid(QColor colour) {
    QPixmap pixmap(64, 64);
    pixmap.fill(colour);
    return QIcon(pixmap);
}

} // namespace

class StatusNotifierItemTest final : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(QDBusConnection::sessionBus().isConnected()); }

    // Found only while a tray is there; registered with it, and with a tray that starts
    // anew; read as a menu with kestrova's own icon, byte order and all; and clicked,
    // it leaves the menu to the tray.
    void registersWithTheTrayAsAMenu() {
        QVERIFY(!StatusNotifierItem::hostAvailable());
        auto tray = std::make_unique<FakeTray>();
        QVERIFY(StatusNotifierItem::hostAvailable());

        QAction capture(QStringLiteral("Capture Region"));
        StatusNotifierItem item(solid(QColor(0x12, 0x34, 0x56)), QStringLiteral("kestrova"),
                                {{&capture}, {}});
        QVERIFY(item.show());
        QTRY_COMPARE(tray->registered(), QStringList{item.serviceName()});

        const QString sni = QStringLiteral("org.kde.StatusNotifierItem");
        const QString at = QStringLiteral("/StatusNotifierItem");
        QCOMPARE(read(item.serviceName(), at, sni, QStringLiteral("ItemIsMenu")).toBool(), true);
        QCOMPARE(read(item.serviceName(), at, sni, QStringLiteral("Menu"))
                     .value<QDBusObjectPath>()
                     .path(),
                 QStringLiteral("/MenuBar"));
        QCOMPARE(read(item.serviceName(), at, sni, QStringLiteral("Id")).toString(),
                 QStringLiteral("kestrova"));
        const auto pixmaps = qdbus_cast<TrayPixmaps>(
            read(item.serviceName(), at, sni, QStringLiteral("IconPixmap")));
        QVERIFY(!pixmaps.isEmpty());
        QCOMPARE(pixmaps.first().width, 16);
        QCOMPARE(pixmaps.first().argb.size(), 16 * 16 * 4);
        QCOMPARE(pixmaps.first().argb.left(4), QByteArray::fromHex("ff123456"));

        // A left click is the tray's to answer with the menu at the icon (KDE Plasma does
        // on this error); only a tray that cannot draw menus asks kestrova to.
        QSignalSpy opened(&item, &StatusNotifierItem::onMenuRequested);
        const QDBusMessage activated =
            call(item.serviceName(), at, sni, QStringLiteral("Activate"), {100, 1060});
        QCOMPARE(activated.type(), QDBusMessage::ErrorMessage);
        QCOMPARE(activated.errorName(), QStringLiteral("org.freedesktop.DBus.Error.NotSupported"));
        QCOMPARE(
            call(item.serviceName(), at, sni, QStringLiteral("ContextMenu"), {100, 1060}).type(),
            QDBusMessage::ReplyMessage);
        QCOMPARE(opened.size(), 1);
        QCOMPARE(opened.at(0).at(0).toPoint(), QPoint(100, 1060));

        tray.reset();
        tray = std::make_unique<FakeTray>();
        QTRY_COMPARE(tray->registered(), QStringList{item.serviceName()});
    }

    // What the tray shows follows the actions, is refreshed as it opens, and a click
    // triggers the action (a disabled one does nothing).
    void menuFollowsItsActions() {
        FakeTray tray;
        QAction capture(QStringLiteral("Capture_Region"));
        QAction separator;
        separator.setSeparator(true);
        QAction login(QStringLiteral("Launch at &Login"));
        login.setCheckable(true);
        QAction quit(QStringLiteral("Quit"));
        quit.setShortcut(QKeySequence(QStringLiteral("Ctrl+Q")));
        quit.setEnabled(false);
        StatusNotifierItem item(
            solid(Qt::red), QStringLiteral("kestrova"),
            {{&capture, &separator, &login, &quit}, [&login] { login.setChecked(true); }});
        QVERIFY(item.show());

        const QString menu = QStringLiteral("com.canonical.dbusmenu");
        const QString at = QStringLiteral("/MenuBar");
        const auto layout = [&] {
            return call(item.serviceName(), at, menu, QStringLiteral("GetLayout"),
                        {0, -1, QStringList()});
        };
        const QDBusMessage first = layout();
        QCOMPARE(first.signature(), QStringLiteral("u(ia{sv}av)"));
        const uint revision = first.arguments().value(0).toUInt();
        const auto root = qdbus_cast<MenuLayoutItem>(first.arguments().value(1));
        QCOMPARE(root.children.size(), 4);
        QCOMPARE(root.children[0].properties.value(QStringLiteral("label")).toString(),
                 QStringLiteral("Capture__Region"));
        QCOMPARE(root.children[1].properties.value(QStringLiteral("type")).toString(),
                 QStringLiteral("separator"));
        QCOMPARE(root.children[2].properties.value(QStringLiteral("label")).toString(),
                 QStringLiteral("Launch at _Login"));
        QCOMPARE(root.children[2].properties.value(QStringLiteral("toggle-state")).toInt(), 0);
        QCOMPARE(root.children[3].properties.value(QStringLiteral("enabled")).toBool(), false);
        QCOMPARE(qdbus_cast<QList<QStringList>>(
                     root.children[3].properties.value(QStringLiteral("shortcut"))),
                 (QList<QStringList>{{QStringLiteral("Control"), QStringLiteral("Q")}}));

        QDBusConnection::sessionBus().connect(item.serviceName(), at, menu,
                                              QStringLiteral("LayoutUpdated"), this,
                                              SLOT(layoutUpdated(uint, int)));
        const QDBusMessage opened =
            call(item.serviceName(), at, menu, QStringLiteral("AboutToShow"), {0});
        QCOMPARE(opened.arguments().value(0).toBool(), true);
        QTRY_VERIFY(m_updatedTo > revision);
        const QDBusMessage second = layout();
        QVERIFY(second.arguments().value(0).toUInt() > revision);
        const auto refreshed = qdbus_cast<MenuLayoutItem>(second.arguments().value(1));
        QCOMPARE(refreshed.children[2].properties.value(QStringLiteral("toggle-state")).toInt(), 1);

        QSignalSpy captured(&capture, &QAction::triggered);
        QSignalSpy quitted(&quit, &QAction::triggered);
        for (const int id : {1, 4})
            call(item.serviceName(), at, menu, QStringLiteral("Event"),
                 {id, QStringLiteral("clicked"), QVariant::fromValue(QDBusVariant(0)), 0u});
        QTRY_COMPARE(captured.count(), 1);
        QCOMPARE(quitted.count(), 0);
    }

public slots:
    void layoutUpdated(uint revision, int) { m_updatedTo = revision; }

private:
    uint m_updatedTo = 0;
};

// On a bus of its own: a tray on the shared one would draw a kestrova started by a test
// running alongside away from the tray that test watches.
int main(int argc, char** argv) {
    const test::PrivateBus bus;
    if (!bus.isRunning())
        return 1;
    qputenv("DBUS_SESSION_BUS_ADDRESS", bus.address().toUtf8());
    QGuiApplication app(argc, argv);
    StatusNotifierItemTest test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_statusnotifieritem.moc"
