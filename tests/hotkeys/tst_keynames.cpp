#include "KeyNames.h"
#include "VirtualKeys.h"

#include <QTest>

using namespace kestrova;

class KeyNamesTest final : public QObject {
    Q_OBJECT
private slots:
    void shortcutsReadWithSymbolsInFixedOrder() {
        QCOMPARE(KeyNames::string(19, 0x300), QStringLiteral("⇧⌘2"));
        QCOMPARE(KeyNames::string(0, 0x1B00), QStringLiteral("⌃⌥⇧⌘A"));
        QCOMPARE(KeyNames::string(53, 0x100), QStringLiteral("⌘Key 53"));
        QCOMPARE(KeyNames::string(49, 0x1800), QStringLiteral("⌃⌥Space"));
        QCOMPARE(KeyNames::string(82, 0x100), QStringLiteral("⌘Key 82"));
        QCOMPARE(KeyNames::string(0, 0), QStringLiteral("A"));
        QCOMPARE(KeyNames::string(42, 0x1000), QStringLiteral("⌃\\"));
        QCOMPARE(KeyNames::string(50, 0x200), QStringLiteral("⇧`"));
        QCOMPARE(KeyNames::string(121, 0x800), QStringLiteral("⌥⇟"));
    }

    void keyTableHasTheSeventyTwoNamedKeys() {
        int named = 0;
        for (std::uint32_t code = 0; code < 256; ++code)
            named += KeyNames::name(code).has_value();
        QCOMPARE(named, 72);
        QVERIFY(!KeyNames::name(10).has_value());
        QVERIFY(!KeyNames::name(53).has_value()); // Escape is never a named shortcut key
    }

    void qtModifiersBecomeTheCarbonMask() {
        QCOMPARE(KeyNames::carbonModifiers(Qt::MetaModifier | Qt::AltModifier), 0x900u);
        QCOMPARE(KeyNames::carbonModifiers(Qt::ShiftModifier | Qt::ControlModifier), 0x1200u);
        QCOMPARE(KeyNames::carbonModifiers(Qt::KeypadModifier), 0u);
        QCOMPARE(KeyNames::carbonModifiers(Qt::NoModifier), 0u);
    }

    void everyNamedKeyHasAPhysicalKey() {
        for (std::uint32_t code = 0; code < 256; ++code) {
            if (!KeyNames::name(code))
                continue;
            const auto x = VirtualKeys::xKeycode(code);
            QVERIFY2(x.has_value(), qPrintable(QString::number(code)));
            QCOMPARE(VirtualKeys::fromXKeycode(*x), std::optional<std::uint32_t>(code));
        }
        // Positions of a US keyboard on an evdev X server.
        QCOMPARE(VirtualKeys::xKeycode(19), std::optional<std::uint32_t>(11));   // the 2 key
        QCOMPARE(VirtualKeys::xKeycode(0), std::optional<std::uint32_t>(38));    // A
        QCOMPARE(VirtualKeys::xKeycode(53), std::optional<std::uint32_t>(9));    // Escape
        QCOMPARE(VirtualKeys::xKeycode(105), std::optional<std::uint32_t>(191)); // F13
        QCOMPARE(VirtualKeys::xKeycode(82), std::optional<std::uint32_t>(90));   // keypad 0
        QCOMPARE(VirtualKeys::fromQtKey(Qt::Key_2), std::optional<std::uint32_t>(19));
        QCOMPARE(VirtualKeys::fromQtKey(Qt::Key_Z), std::optional<std::uint32_t>(6));
        QCOMPARE(VirtualKeys::fromQtKey(Qt::Key_Escape), std::optional<std::uint32_t>(53));
        QCOMPARE(VirtualKeys::fromQtKey(Qt::Key_F13), std::nullopt);
    }
};

QTEST_GUILESS_MAIN(KeyNamesTest)
#include "tst_keynames.moc"
