#include "HotKeyManager.h"

#include "LogCapture.h"

#include <QTest>

#include <vector>

using namespace kestrova;

namespace {

// Records what the manager asks of the system; refuses chosen combinations.
class FakeBackend final : public HotKeyBackend {
public:
    struct Log {
        std::vector<std::pair<std::uint32_t, std::uint32_t>> grabs;
        int releases = 0;
        std::uint32_t refuseModifiers = 0;
        bool grabbed = false;
    };
    explicit FakeBackend(Log& log) : m_log(log) {}
    Status grab(std::uint32_t key, std::uint32_t modifiers) override {
        if (modifiers == m_log.refuseModifiers && modifiers != 0)
            return Error{QStringLiteral("another application already uses it")};
        m_log.grabs.emplace_back(key, modifiers);
        m_log.grabbed = true;
        return std::nullopt;
    }
    void release() override {
        ++m_log.releases;
        m_log.grabbed = false;
    }
    void press() {
        if (onPressed)
            onPressed();
    }

private:
    Log& m_log;
};

} // namespace

class HotKeyManagerTest final : public QObject {
    Q_OBJECT
private slots:
    void reRegisteringReplacesTheKey() {
        FakeBackend::Log log;
        auto backend = std::make_unique<FakeBackend>(log);
        FakeBackend* fake = backend.get();
        int first = 0, second = 0;
        HotKeyManager manager(std::move(backend));
        manager.registerHotKey(19, 0x300, [&] { ++first; });
        manager.registerHotKey(0, 0x1800, [&] { ++second; });
        QCOMPARE(log.grabs.size(), std::size_t(2));
        QCOMPARE(log.releases, 1); // the old key went before the new one came
        fake->press();
        QCOMPARE(first, 0);
        QCOMPARE(second, 1);
    }

    void unregisterIsHarmlessWhenRepeated() {
        FakeBackend::Log log;
        int presses = 0;
        auto backend = std::make_unique<FakeBackend>(log);
        FakeBackend* fake = backend.get();
        HotKeyManager manager(std::move(backend));
        manager.unregister();
        QCOMPARE(log.releases, 0);
        manager.registerHotKey(19, 0x300, [&] { ++presses; });
        manager.unregister();
        manager.unregister();
        QCOMPARE(log.releases, 1);
        QVERIFY(!manager.isRegistered());
        fake->press(); // a late event after unregistering runs nothing
        QCOMPARE(presses, 0);
        manager.registerHotKey(19, 0x300, [&] { ++presses; });
        fake->press();
        QCOMPARE(presses, 1);
    }

    void refusedCombinationLeavesNothingAndSaysSo() {
        FakeBackend::Log log;
        log.refuseModifiers = 0x300;
        HotKeyManager manager(std::make_unique<FakeBackend>(log));
        manager.registerHotKey(0, 0x100, [] {});
        test::LogCapture err;
        manager.registerHotKey(19, 0x300, [] {});
        const QByteArray line = err.text();
        QVERIFY(!manager.isRegistered());
        QVERIFY(!log.grabbed); // the earlier key is gone too
        QCOMPARE(line.count('\n'), 1);
        QVERIFY2(line.contains("⇧⌘2"), line.constData());
    }

    void storedModifiersWithoutARealModifierGrabNothing() {
        // Bits the recorder never writes (from a hand-edited file) must not turn into a
        // grab of the bare key, which would take "2" from every application.
        for (const std::uint32_t bogus : {1u, 1024u, 65536u}) {
            FakeBackend::Log log;
            HotKeyManager manager(std::make_unique<FakeBackend>(log));
            manager.registerHotKey(0, 0x100, [] {});
            test::LogCapture err;
            manager.registerHotKey(19, bogus, [] {});
            const QByteArray line = err.text();
            QVERIFY(log.grabs.size() == 1 && !log.grabbed); // only the first, and it went
            QVERIFY(!manager.isRegistered());
            QCOMPARE(line.count('\n'), 1);
        }
        // Unknown bits beside real ones do not stop a real shortcut.
        FakeBackend::Log log;
        HotKeyManager manager(std::make_unique<FakeBackend>(log));
        manager.registerHotKey(19, 0x300 | 1u, [] {});
        QVERIFY(manager.isRegistered());
    }

    void destructionReleasesTheKey() {
        FakeBackend::Log log;
        {
            HotKeyManager manager(std::make_unique<FakeBackend>(log));
            manager.registerHotKey(19, 0x300, [] {});
        }
        QCOMPARE(log.releases, 1);
    }
};

QTEST_GUILESS_MAIN(HotKeyManagerTest)
#include "tst_hotkeymanager.moc"
