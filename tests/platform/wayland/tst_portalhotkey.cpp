// The hot key through the global-shortcuts portal, against a fake portal on a private
// bus: what is bound, presses reaching kestrova, rebinding, and a desktop without it.

#include "FakePortal.h"
#include "HotKeyManager.h"
#include "KeyNames.h"
#include "LogCapture.h"
#include "PlasmaTrigger.h"
#include "PortalHotKeyBackend.h"
#include "PortalShortcut.h"
#include "TestSupport.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace kestrova;

namespace {
constexpr std::uint32_t key2 = 19, keyA = 0, keypadEnter = 76, keyReturn = 36;

// A fake portal, and kestrova's hot key asked for through it as Shift+Super+2, with its
// presses counted.
struct Bound {
    Bound(const test::PrivateBus& bus, const QString& client)
        : portal(bus, {}),
          manager(adopt(std::make_unique<PortalHotKeyBackend>(bus.connect(client)))) {
        manager.registerHotKey(key2, carbon::shiftKey | carbon::cmdKey, [this] { ++presses; });
    }
    bool waitUntilBound() const {
        return test::waitUntil([this] { return !backend->boundSession().isEmpty(); });
    }

    test::FakePortal portal;
    PortalHotKeyBackend* backend = nullptr; // owned by the manager
    HotKeyManager manager;
    int presses = 0;

private:
    std::unique_ptr<PortalHotKeyBackend> adopt(std::unique_ptr<PortalHotKeyBackend> owned) {
        backend = owned.get();
        return owned;
    }
};
} // namespace

class PortalHotKeyTest final : public QObject {
    Q_OBJECT
private:
    std::unique_ptr<test::PrivateBus> m_bus;

private slots:
    void initTestCase() {
        m_bus = std::make_unique<test::PrivateBus>();
        QVERIFY2(m_bus->isRunning(), "dbus-daemon did not start");
    }

    void triggersUseThePortalsKeyNames() {
        using namespace carbon;
        QCOMPARE(PortalShortcut::trigger(key2, shiftKey | cmdKey), QStringLiteral("SHIFT+LOGO+2"));
        QCOMPARE(PortalShortcut::trigger(keyA, controlKey | optionKey),
                 QStringLiteral("CTRL+ALT+a"));
        QCOMPARE(PortalShortcut::trigger(keypadEnter, controlKey), QStringLiteral("CTRL+KP_Enter"));
        QCOMPARE(PortalShortcut::trigger(keyReturn, shiftKey), QStringLiteral("SHIFT+Return"));
        QCOMPARE(PortalShortcut::trigger(999, shiftKey), std::nullopt);
        // Plasma matches a key pressed with Shift by the symbol Shift makes on the
        // layout; letters keep their Shift.
        const PlasmaTrigger::Layout us;
        QCOMPARE(PlasmaTrigger::trigger(key2, shiftKey | cmdKey, us), QStringLiteral("LOGO+at"));
        QCOMPARE(PlasmaTrigger::trigger(key2, shiftKey | cmdKey, {QStringLiteral("de"), {}}),
                 QStringLiteral("LOGO+quotedbl"));
        QCOMPARE(PlasmaTrigger::trigger(keyA, shiftKey | controlKey, us),
                 QStringLiteral("CTRL+SHIFT+a"));
        QCOMPARE(PlasmaTrigger::trigger(key2, cmdKey, us), QStringLiteral("LOGO+2"));
        QCOMPARE(PlasmaTrigger::trigger(keyReturn, shiftKey, us), QStringLiteral("SHIFT+Return"));
    }

    void bindsThenReportsPressesOfItsOwnShortcutOnly() {
        Bound fixture(*m_bus, QStringLiteral("h1"));
        auto& [portal, backend, manager, presses] = fixture;
        QVERIFY(fixture.waitUntilBound());

        QCOMPARE(portal.boundShortcuts.size(), 1);
        const PortalShortcut bound = portal.boundShortcuts[0].value(0);
        QCOMPARE(bound.id, QStringLiteral("capture-region"));
        QCOMPARE(bound.properties.value(QStringLiteral("description")).toString(),
                 QStringLiteral("Capture Region"));
        QCOMPARE(bound.properties.value(QStringLiteral("preferred_trigger")).toString(),
                 QStringLiteral("SHIFT+LOGO+2"));

        const QString session = backend->boundSession();
        portal.activate(session, QStringLiteral("something-else"));
        portal.activate(QStringLiteral("/org/freedesktop/portal/desktop/session/x/y"),
                        QStringLiteral("capture-region"));
        portal.activate(session, QStringLiteral("capture-region"));
        QVERIFY(test::waitUntil([&] { return presses > 0; }));
        QTest::qWait(100);
        QCOMPARE(presses, 1);
    }

    void plasmaGetsTheShortcutWithTheSessionAndIsNotAskedToBind() {
        // Plasma registers only what CreateSession carries, and its BindShortcuts opens
        // its settings window: kestrova must not call it there.
        // Its key named for the user's layout, from Plasma's keyboard settings.
        QTemporaryDir config;
        QFile layouts(config.filePath(QStringLiteral("kxkbrc")));
        QVERIFY(layouts.open(QIODevice::WriteOnly));
        layouts.write("[Layout]\nLayoutList=de,us\nUse=true\n");
        layouts.close();
        const QByteArray desktop = qgetenv("XDG_CURRENT_DESKTOP");
        const QByteArray configHome = qgetenv("XDG_CONFIG_HOME");
        qputenv("XDG_CURRENT_DESKTOP", "KDE");
        qputenv("XDG_CONFIG_HOME", config.path().toUtf8());
        Bound fixture(*m_bus, QStringLiteral("h6"));
        auto& [portal, backend, manager, presses] = fixture;
        const bool bound = fixture.waitUntilBound();
        qputenv("XDG_CURRENT_DESKTOP", desktop);
        qputenv("XDG_CONFIG_HOME", configHome);
        QVERIFY(bound);
        QVERIFY(portal.boundShortcuts.isEmpty());
        const auto given = qdbus_cast<PortalShortcuts>(
            portal.sessionOptions.value(0).value(QStringLiteral("shortcuts")));
        QCOMPARE(given.value(0).id, QStringLiteral("capture-region"));
        QCOMPARE(given.value(0).properties.value(QStringLiteral("preferred_trigger")).toString(),
                 QStringLiteral("LOGO+quotedbl"));
        portal.activate(backend->boundSession(), QStringLiteral("capture-region"));
        QVERIFY(test::waitUntil([&] { return presses == 1; }));
    }

    void aNewKeyRebindsAndClearingUnbinds() {
        Bound fixture(*m_bus, QStringLiteral("h2"));
        auto& [portal, backend, manager, presses] = fixture;
        QVERIFY(fixture.waitUntilBound());
        const QString first = backend->boundSession();

        manager.registerHotKey(keyA, carbon::controlKey | carbon::optionKey, [&] { ++presses; });
        QVERIFY(test::waitUntil([&] { return portal.boundShortcuts.size() == 2; }));
        QVERIFY(test::waitUntil([&] { return portal.closedSessions.contains(first); }));
        QCOMPARE(
            portal.boundShortcuts[1].value(0).properties.value(QStringLiteral("preferred_trigger")),
            QVariant(QStringLiteral("CTRL+ALT+a")));
        QVERIFY(test::waitUntil([&] { return !backend->boundSession().isEmpty(); }));
        const QString second = backend->boundSession();
        QVERIFY(second != first);

        // The old session's presses are not the shortcut any more.
        portal.activate(first, QStringLiteral("capture-region"));
        portal.activate(second, QStringLiteral("capture-region"));
        QVERIFY(test::waitUntil([&] { return presses == 1; }));

        manager.unregister();
        QVERIFY(test::waitUntil([&] { return portal.closedSessions.contains(second); }));
        portal.activate(second, QStringLiteral("capture-region"));
        QTest::qWait(200);
        QCOMPARE(presses, 1);
    }

    void theDesktopsOwnChangesAreFollowedAndAClosedSessionIsOpenedAgain() {
        Bound fixture(*m_bus, QStringLiteral("h5"));
        auto& [portal, backend, manager, presses] = fixture;
        QVERIFY(fixture.waitUntilBound());
        const QString first = backend->boundSession();
        QCOMPARE(backend->desktopTrigger(), QStringLiteral("SHIFT+LOGO+2"));

        // The user picks another key in the desktop's settings, then removes it.
        PortalShortcut changed{QStringLiteral("capture-region"),
                               {{QStringLiteral("trigger_description"), QStringLiteral("Ctrl+K")}}};
        portal.changeShortcuts(first, {changed});
        QVERIFY(
            test::waitUntil([&] { return backend->desktopTrigger() == QStringLiteral("Ctrl+K"); }));
        test::LogCapture errors;
        portal.changeShortcuts(first, {});
        QVERIFY(test::waitUntil([&] { return backend->boundSession().isEmpty(); }));
        QVERIFY2(errors.text().contains("removed the shortcut"), errors.text().constData());

        // The desktop ends the session: kestrova asks for its shortcut again.
        portal.closeSessionAsTheDesktop(first);
        QVERIFY(test::waitUntil([&] { return !backend->boundSession().isEmpty(); }));
        QVERIFY(backend->boundSession() != first);
        QCOMPARE(portal.boundShortcuts.size(), 2);
        portal.activate(backend->boundSession(), QStringLiteral("capture-region"));
        QVERIFY(test::waitUntil([&] { return presses == 1; }));
    }

    void aKeyChangedBeforeTheDesktopAnswersBindsOnlyTheLastOne() {
        test::FakePortal portal(*m_bus, {});
        auto owned = std::make_unique<PortalHotKeyBackend>(m_bus->connect(QStringLiteral("h3")));
        PortalHotKeyBackend* backend = owned.get();
        HotKeyManager manager(std::move(owned));
        manager.registerHotKey(key2, carbon::shiftKey | carbon::cmdKey, [] {});
        manager.registerHotKey(keyA, carbon::controlKey, [] {});
        QVERIFY(test::waitUntil([&] { return !backend->boundSession().isEmpty(); }));
        QTest::qWait(200);
        QCOMPARE(portal.boundShortcuts.size(), 1);
        QCOMPARE(
            portal.boundShortcuts[0].value(0).properties.value(QStringLiteral("preferred_trigger")),
            QVariant(QStringLiteral("CTRL+a")));
        // The session opened for the first key is closed, not left behind.
        QCOMPARE(portal.sessions.size(), 2);
        QVERIFY(
            test::waitUntil([&] { return portal.closedSessions.contains(portal.sessions[0]); }));
    }

    void withoutTheServiceItSaysSoOnceAndNamesTheRemedy() {
        test::FakePortal portal(*m_bus, {true, false});
        test::LogCapture errors;
        {
            HotKeyManager manager(
                std::make_unique<PortalHotKeyBackend>(m_bus->connect(QStringLiteral("h4"))));
            manager.registerHotKey(key2, carbon::shiftKey | carbon::cmdKey, [] {});
            QVERIFY(test::waitUntil([&] { return !errors.text().isEmpty(); }));
            manager.registerHotKey(keyA, carbon::controlKey, [] {});
            QTest::qWait(300);
        }
        const QString text = QString::fromUtf8(errors.text());
        QCOMPARE(text.count(QStringLiteral("offers applications no global shortcuts")), 1);
        QVERIFY2(text.contains(QStringLiteral("kestrova --capture")), qPrintable(text));
        // Named as the desktop's keyboard settings name it.
        QVERIFY2(text.contains(QStringLiteral("Shift+Super+2")), qPrintable(text));
        QCOMPARE(text.count(u'\n'), 1);
    }
};

QTEST_GUILESS_MAIN(PortalHotKeyTest)
#include "tst_portalhotkey.moc"
