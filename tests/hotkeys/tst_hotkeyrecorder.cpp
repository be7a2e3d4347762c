#include "HotKeyRecorderButton.h"

#include <QLineEdit>
#include <QTest>
#include <QVBoxLayout>

using namespace kestrova;

class HotKeyRecorderTest final : public QObject {
    Q_OBJECT
private:
    struct Fixture {
        QWidget window;
        HotKeyRecorderButton* recorder;
        QLineEdit* field;
        std::vector<std::pair<std::uint32_t, std::uint32_t>> captured;
        Fixture() {
            auto* layout = new QVBoxLayout(&window);
            recorder = new HotKeyRecorderButton;
            field = new QLineEdit;
            layout->addWidget(recorder);
            layout->addWidget(field);
            QObject::connect(
                recorder, &HotKeyRecorderButton::onCapture,
                [this](std::uint32_t k, std::uint32_t m) { captured.emplace_back(k, m); });
            recorder->display(19, 0x300);
            window.show();
            field->setFocus();
        }
    };

private slots:
    void showsTheShortcutOrAHint() {
        HotKeyRecorderButton recorder;
        recorder.display(19, 0x300);
        QCOMPARE(recorder.text(), QStringLiteral("⇧⌘2"));
        recorder.display(5, 0);
        QCOMPARE(recorder.text(), QStringLiteral("Click to set…"));
        QCOMPARE(recorder.focusPolicy(), Qt::NoFocus);
    }

    void escapeCancelsEvenWithModifiers() {
        Fixture f;
        QTest::mouseClick(f.recorder, Qt::LeftButton);
        QVERIFY(f.recorder->isRecording());
        QCOMPARE(f.recorder->text(), QStringLiteral("Type shortcut…"));
        QTest::keyClick(f.field, Qt::Key_Escape);
        QVERIFY(!f.recorder->isRecording());
        QCOMPARE(f.recorder->text(), QStringLiteral("⇧⌘2"));

        QTest::mouseClick(f.recorder, Qt::LeftButton);
        QTest::keyClick(f.field, Qt::Key_Escape, Qt::MetaModifier);
        QVERIFY(!f.recorder->isRecording());
        QCOMPARE(f.recorder->text(), QStringLiteral("⇧⌘2"));
        QVERIFY(f.captured.empty());
    }

    void keyWithoutModifiersIsRefusedThenOptionARecorded() {
        Fixture f;
        QTest::mouseClick(f.recorder, Qt::LeftButton);
        QTest::keyClick(f.field, Qt::Key_A);
        QVERIFY(f.recorder->isRecording());
        QCOMPARE(f.recorder->text(), QStringLiteral("Type shortcut…"));
        QVERIFY(f.field->text().isEmpty());                     // consumed, not typed
        QTest::keyClick(f.field, Qt::Key_Alt, Qt::AltModifier); // a modifier alone waits
        QVERIFY(f.recorder->isRecording());

        QTest::keyClick(f.field, Qt::Key_A, Qt::AltModifier);
        QVERIFY(!f.recorder->isRecording());
        QCOMPARE(f.recorder->text(), QStringLiteral("⌥A"));
        QCOMPARE(f.captured.size(), std::size_t(1));
        QCOMPARE(f.captured[0], std::make_pair(0u, 0x800u));

        QTest::keyClick(f.field, Qt::Key_B); // recording is over: keys reach the field again
        QCOMPARE(f.field->text(), QStringLiteral("b"));
    }

    void clickingTwiceOrHidingEndsWithoutReport() {
        Fixture f;
        QTest::mouseClick(f.recorder, Qt::LeftButton);
        QTest::mouseClick(f.recorder, Qt::LeftButton);
        QVERIFY(!f.recorder->isRecording());
        QCOMPARE(f.recorder->text(), QStringLiteral("⇧⌘2"));

        QTest::mouseClick(f.recorder, Qt::LeftButton);
        f.window.hide();
        QVERIFY(!f.recorder->isRecording());
        f.window.show();
        f.field->setFocus();
        QTest::keyClick(f.field, Qt::Key_C);
        QCOMPARE(f.field->text(), QStringLiteral("c"));
        QVERIFY(f.captured.empty());
    }
};

QTEST_MAIN(HotKeyRecorderTest)
#include "tst_hotkeyrecorder.moc"
