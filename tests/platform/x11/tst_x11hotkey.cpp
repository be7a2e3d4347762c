#include "X11HotKeyBackend.h"

#include "HotKeyManager.h"
#include "LogCapture.h"
#include "TestSupport.h"

#include <QApplication>
#include <QTest>

#include <xcb/xcb.h>

using namespace kestrova;

namespace {

void press(const QString& keys) {
    test::xdotool({QStringLiteral("key"), keys});
}

bool pressedWithin(const int& count, int before, int ms = 3000) {
    return test::waitUntil([&] { return count > before; }, ms);
}

// Grabs a key for another client; false when the server refuses.
bool grabFor(xcb_connection_t* client, std::uint16_t modifiers, std::uint8_t keycode) {
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(client)).data->root;
    xcb_generic_error_t* error =
        xcb_request_check(client, xcb_grab_key_checked(client, 1, root, modifiers, keycode,
                                                       XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC));
    std::free(error);
    return error == nullptr;
}

} // namespace

class X11HotKeyTest final : public QObject {
    Q_OBJECT
private slots:
    void defaultKeyArrivesAlsoWithNumLock() {
        HotKeyManager manager(X11HotKeyBackend::create());
        int presses = 0;
        manager.registerHotKey(19, 0x300, [&] { ++presses; });
        QVERIFY(manager.isRegistered());
        press(QStringLiteral("shift+super+2"));
        QVERIFY(pressedWithin(presses, 0));

        press(QStringLiteral("Num_Lock"));
        press(QStringLiteral("shift+super+2"));
        const bool withNumLock = pressedWithin(presses, 1);
        press(QStringLiteral("Num_Lock"));
        QVERIFY(withNumLock);

        press(QStringLiteral("super+2"));            // Shift missing: not ours
        press(QStringLiteral("ctrl+shift+super+2")); // one too many
        QTest::qWait(400);
        QCOMPARE(presses, 2);
    }

    void reRegisteringMovesTheKeyAndUnregisterReleasesIt() {
        HotKeyManager manager(X11HotKeyBackend::create());
        int presses = 0;
        manager.registerHotKey(19, 0x300, [&] { ++presses; });
        manager.registerHotKey(101, 0x1200, [&] { ++presses; }); // ⌃⇧F9
        press(QStringLiteral("shift+super+2"));
        QTest::qWait(400);
        QCOMPARE(presses, 0);
        press(QStringLiteral("ctrl+shift+F9"));
        QVERIFY(pressedWithin(presses, 0));

        manager.unregister();
        press(QStringLiteral("ctrl+shift+F9"));
        QTest::qWait(400);
        QCOMPARE(presses, 1);
    }

    void keyboardMappingChangesGrabTheKeyAgain() {
        HotKeyManager manager(X11HotKeyBackend::create());
        int presses = 0;
        manager.registerHotKey(19, 0x300, [&] { ++presses; });
        // Super moves to another modifier bit; the grab must follow it.
        const auto xmodmap = [](const QStringList& expressions) {
            QStringList arguments;
            for (const QString& e : expressions)
                arguments << QStringLiteral("-e") << e;
            return test::run(QStringLiteral("xmodmap"), arguments);
        };
        QCOMPARE(
            xmodmap({QStringLiteral("clear mod4"), QStringLiteral("add mod3 = Super_L Super_R")}),
            0);
        QTest::qWait(300);
        press(QStringLiteral("shift+super+2"));
        const bool followed = pressedWithin(presses, 0);
        xmodmap({QStringLiteral("clear mod3"), QStringLiteral("add mod4 = Super_L Super_R")});
        QTest::qWait(300);
        QVERIFY(followed);
        press(QStringLiteral("shift+super+2"));
        QVERIFY(pressedWithin(presses, 1));
    }

    void combinationHeldByAnotherClientIsRefused() {
        // Another X client takes ⇧⌘3 first, in every lock state.
        xcb_connection_t* other = xcb_connect(nullptr, nullptr);
        QVERIFY(!xcb_connection_has_error(other));
        for (const int lock :
             {0, int(XCB_MOD_MASK_LOCK), int(XCB_MOD_MASK_2), XCB_MOD_MASK_LOCK | XCB_MOD_MASK_2})
            QVERIFY(grabFor(other, std::uint16_t(XCB_MOD_MASK_SHIFT | XCB_MOD_MASK_4 | lock), 12));

        HotKeyManager manager(X11HotKeyBackend::create());
        test::LogCapture log;
        manager.registerHotKey(20, 0x300, [] {});
        const QByteArray line = log.text();
        QVERIFY(!manager.isRegistered());
        QVERIFY2(line.contains("⇧⌘3"), line.constData());
        QCOMPARE(line.count('\n'), 1);

        // Nothing of it stays grabbed: once the other client is gone, we can have it.
        xcb_disconnect(other);
        QTest::qWait(100);
        int presses = 0;
        manager.registerHotKey(20, 0x300, [&] { ++presses; });
        QVERIFY(manager.isRegistered());
        press(QStringLiteral("shift+super+3"));
        QVERIFY(pressedWithin(presses, 0));
    }

    void oneTakenLockVariantKeepsTheOthers() {
        // Another client holds ⇧⌘4 only while NumLock is on.
        xcb_connection_t* other = xcb_connect(nullptr, nullptr);
        QVERIFY(grabFor(other, XCB_MOD_MASK_SHIFT | XCB_MOD_MASK_4 | XCB_MOD_MASK_2, 13));

        HotKeyManager manager(X11HotKeyBackend::create());
        int presses = 0;
        test::LogCapture log;
        manager.registerHotKey(21, 0x300, [&] { ++presses; });
        const QByteArray line = log.text();
        QVERIFY(manager.isRegistered());
        QVERIFY2(line.contains("⇧⌘4") && line.contains("NumLock") && !line.contains("CapsLock"),
                 line.constData());
        QCOMPARE(line.count('\n'), 1);
        press(QStringLiteral("shift+super+4"));
        QVERIFY(pressedWithin(presses, 0));

        // Releasing ours leaves the other client's grab alone: it is still refused to us.
        manager.unregister();
        xcb_connection_t* third = xcb_connect(nullptr, nullptr);
        QVERIFY(!grabFor(third, XCB_MOD_MASK_SHIFT | XCB_MOD_MASK_4 | XCB_MOD_MASK_2, 13));
        QVERIFY(grabFor(third, XCB_MOD_MASK_SHIFT | XCB_MOD_MASK_4, 13)); // ours went
        xcb_disconnect(third);
        xcb_disconnect(other);
    }
};

QTEST_MAIN(X11HotKeyTest)
#include "tst_x11hotkey.moc"
