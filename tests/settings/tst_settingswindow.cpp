#include "SettingsWindowController.h"

#include "HotKeyRecorderButton.h"
#include "LaunchAtLogin.h"
#include "Settings.h"
#include "SwatchButton.h"
#include "TestSupport.h"
#include "Unwritable.h"

#include <QAbstractButton>
#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QLabel>
#include <QMessageBox>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

using namespace kestrova;

class SettingsWindowTest final : public QObject {
    Q_OBJECT
private:
    QTemporaryDir m_home;

private slots:
    void initTestCase() {
        qputenv("HOME", m_home.path().toUtf8());
        qputenv("XDG_CONFIG_HOME", (m_home.path() + QStringLiteral("/.config")).toUtf8());
    }

    void firstShowReflectsAFreshStoreAndLaterShowsRefresh() {
        SettingsWindowController controller;
        controller.show();
        QWidget* window = controller.window();
        QVERIFY(window && window->isVisible());
        QCOMPARE(window->windowTitle(), QStringLiteral("kestrova Settings"));
        QCOMPARE(controller.hotKeyButton()->text(), QStringLiteral("⇧⌘2"));
        QCOMPARE(controller.formatPopup()->currentText(), QStringLiteral("PNG"));
        QCOMPARE(controller.thicknessControl()->checkedButton()->text(), QStringLiteral("Medium"));
        QVERIFY(controller.swatches().at(0)->isSelected());
        QCOMPARE(std::count_if(controller.swatches().begin(), controller.swatches().end(),
                               [](SwatchButton* s) { return s->isSelected(); }),
                 1);
        QCOMPARE(controller.folderPathLabel()->toolTip(), QStringLiteral("~/Pictures/kestrova"));
        QVERIFY(!controller.launchCheckbox()->isChecked());

        window->move(window->pos() + QPoint(13, 7));
        const QPoint where = window->pos();
        window->close();
        QVERIFY(!window->isVisible());
        Settings::shared().setImageFormat(ImageFormat::jpg);
        Settings::shared().setDefaultThickness(2);
        controller.show();
        QCOMPARE(controller.window(), window);
        QCOMPARE(window->pos(), where);
        QCOMPARE(controller.formatPopup()->currentText(), QStringLiteral("JPEG"));
        QCOMPARE(controller.thicknessControl()->checkedButton()->text(), QStringLiteral("Thin"));
        Settings::shared().setImageFormat(ImageFormat::png);
        Settings::shared().setDefaultThickness(4);
    }

    void everyControlStoresAtOnce() {
        SettingsWindowController controller;
        controller.show();
        QSignalSpy changed(&Settings::shared(), &Settings::hotKeyChanged);

        QAbstractButton* clear = nullptr;
        for (auto* b : controller.window()->findChildren<QAbstractButton*>())
            if (b->text() == QLatin1String("Clear"))
                clear = b;
        QVERIFY(clear);
        QTest::mouseClick(clear, Qt::LeftButton);
        QCOMPARE(controller.hotKeyButton()->text(), QStringLiteral("Click to set…"));
        QVERIFY(!Settings::shared().hasHotKey());
        QCOMPARE(changed.count(), 1);

        QTest::mouseClick(controller.swatches().at(2), Qt::LeftButton);
        QCOMPARE(Settings::shared().defaultColorIndex(), 2);
        for (std::size_t i = 0; i < controller.swatches().size(); ++i)
            QCOMPARE(controller.swatches()[i]->isSelected(), i == 2);

        QTest::mouseClick(controller.thicknessControl()->button(2), Qt::LeftButton);
        QCOMPARE(Settings::shared().defaultThickness(), 6.0);
        QTest::mouseClick(controller.thicknessControl()->button(0), Qt::LeftButton);
        QCOMPARE(Settings::shared().defaultThickness(), 2.0);

        controller.formatPopup()->setCurrentIndex(1);
        emit controller.formatPopup()->activated(1);
        QCOMPARE(Settings::shared().imageFormat(), ImageFormat::jpg);

        // A recorded shortcut is stored and announced.
        emit controller.hotKeyButton()->onCapture(0, 0x800);
        QCOMPARE(Settings::shared().hotKeyModifiers(), 0x800u);
        QCOMPARE(changed.count(), 2);
    }

    void launchAtLoginFailureIsUndoneAndReported() {
        SettingsWindowController controller;
        int calls = 0;
        connect(&controller, &SettingsWindowController::onLaunchAtLoginChanged,
                [&calls] { ++calls; });
        controller.show();

        test::UnwritableFolder unwritable;
        const QByteArray saved = qgetenv("XDG_CONFIG_HOME");
        qputenv("XDG_CONFIG_HOME", (unwritable.path() + QStringLiteral("/cfg")).toUtf8());
        auto texts = std::make_shared<QStringList>();
        QTimer poll;
        connect(&poll, &QTimer::timeout, [texts] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                *texts << box->text() << box->informativeText();
                box->accept();
            }
        });
        poll.start(20);
        QTest::mouseClick(controller.launchCheckbox(), Qt::LeftButton);
        QVERIFY(test::waitUntil([&] { return texts->size() >= 2; }));
        poll.stop();
        qputenv("XDG_CONFIG_HOME", saved);

        QVERIFY(!controller.launchCheckbox()->isChecked());
        QVERIFY(texts->size() >= 2);
        QCOMPARE(texts->at(0), QStringLiteral("Couldn't enable launch at login"));
        QVERIFY(!texts->at(1).isEmpty());
        QCOMPARE(calls, 1);

        // And success writes the entry and keeps the box checked.
        QTest::mouseClick(controller.launchCheckbox(), Qt::LeftButton);
        QVERIFY(controller.launchCheckbox()->isChecked());
        QVERIFY(LaunchAtLogin::isEnabled());
        QCOMPARE(calls, 2);
        QCOMPARE(LaunchAtLogin::setEnabled(false), std::nullopt);
    }

    void folderChooserStartsAtTheSaveFolderAndCancelChangesNothing() {
        const QString start = m_home.path() + QStringLiteral("/start");
        const QString other = m_home.path() + QStringLiteral("/other");
        QDir().mkpath(start);
        QDir().mkpath(other);
        Settings::shared().setSaveFolder(start);
        SettingsWindowController controller;
        controller.show();

        QString shownAt;
        const auto answer = [&](bool accept) {
            QTimer::singleShot(100, [&, accept] {
                auto* chooser = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
                if (!chooser)
                    return;
                shownAt = chooser->directory().absolutePath();
                if (accept) {
                    chooser->setDirectory(other);
                    QMetaObject::invokeMethod(chooser, "accept");
                } else {
                    chooser->reject();
                }
            });
        };
        // The chooser does not block: the window answers when it is closed.
        const auto answered = [] {
            return test::waitUntil(
                [] { return !qobject_cast<QFileDialog*>(QApplication::activeModalWidget()); });
        };
        answer(false);
        controller.chooseFolder();
        QVERIFY(answered());
        QCOMPARE(shownAt, start);
        QCOMPARE(Settings::shared().saveFolderURL(), start);

        answer(true);
        controller.chooseFolder();
        QVERIFY(answered());
        QCOMPARE(Settings::shared().saveFolderURL(), other);
        QCOMPARE(controller.folderPathLabel()->toolTip(), QStringLiteral("~/other"));
    }

    void longFolderInsideHomeIsAbbreviatedAndElidedInTheMiddle() {
        const QString deep =
            m_home.path() + QStringLiteral("/a-rather-long-folder-name-for-screenshots/and-another-"
                                           "level-of-folders-below-it/and-the-last-one-here");
        QVERIFY(QDir().mkpath(deep));
        SettingsWindowController controller;
        controller.show();
        controller.setFolder(deep);
        QCOMPARE(Settings::shared().saveFolderURL(), deep);
        const QString shown = controller.folderPathLabel()->text();
        QVERIFY2(shown.startsWith(u'~'), qPrintable(shown));
        QVERIFY2(shown.contains(QChar(0x2026)), qPrintable(shown));
        QVERIFY(shown.endsWith(QStringLiteral("one-here")));
        QCOMPARE(SettingsWindowController::abbreviateHome(QStringLiteral("/elsewhere/x")),
                 QStringLiteral("/elsewhere/x"));
    }
};

QTEST_MAIN(SettingsWindowTest)
#include "tst_settingswindow.moc"
