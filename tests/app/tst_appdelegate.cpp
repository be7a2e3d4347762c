#include "AppDelegate.h"

#include "CaptureError.h"
#include "CaptureService.h"
#include "KeyableWindow.h"
#include "ScreenshotWriter.h"

#include "LaunchAtLogin.h"
#include "TestSupport.h"

#include <QAction>
#include <QApplication>
#include <QFileInfo>
#include <QMenu>
#include <QMessageBox>
#include <QPromise>
#include <QTemporaryDir>
#include <QTest>

using namespace kestrova;

namespace {

// A screen service that answers only when the test says, as a desktop portal does
// after asking the user.
class AskingBackend final : public CaptureBackend {
public:
    Expected<QImage> grab(const QRect&) override { return Error{QStringLiteral("not here")}; }
    QFuture<Stills> grabStills(const std::vector<ScreenInfo>& screens) override {
        ++asked;
        m_screens = screens;
        m_answer = std::make_unique<QPromise<Stills>>();
        m_answer->start();
        return m_answer->future();
    }
    bool isCompositing() const override { return false; }
    QString failureHint() const override { return QStringLiteral(" Install the portal."); }
    bool settingsCanHelp() const override { return false; }

    void answer(Stills stills) {
        m_answer->addResult(std::move(stills));
        m_answer->finish();
    }
    std::vector<QImage> stillsOfEveryScreen() const {
        std::vector<QImage> stills;
        for (const ScreenInfo& screen : m_screens) {
            QImage still(screen.pixelSize(), QImage::Format_RGB32);
            still.fill(Qt::darkCyan);
            stills.push_back(still);
        }
        return stills;
    }

    int asked = 0;

private:
    std::vector<ScreenInfo> m_screens;
    std::unique_ptr<QPromise<Stills>> m_answer;
};

QMessageBox* shownAlert() {
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (auto* box = qobject_cast<QMessageBox*>(w); box && box->isVisible())
            return box;
    }
    return nullptr;
}

} // namespace

class AppDelegateTest final : public QObject {
    Q_OBJECT
private:
    QTemporaryDir m_home;
    CaptureService m_capture;
    ScreenshotWriter m_writer;

    static int overlayWindows() {
        int n = 0;
        for (QWidget* w : QApplication::topLevelWidgets())
            n += w->isVisible() && w->windowTitle() == QLatin1String("kestrova selection");
        return n;
    }

private slots:
    void initTestCase() {
        qputenv("HOME", m_home.path().toUtf8());
        qputenv("XDG_CONFIG_HOME", (m_home.path() + QStringLiteral("/config")).toUtf8());
    }

    void menuHasTheSevenEntriesInOrder() {
        AppDelegate delegate(nullptr, m_capture, m_writer);
        delegate.applicationDidFinishLaunching();
        const QList<QAction*> items = delegate.menu()->actions();
        QCOMPARE(items.size(), 7);
        const QStringList titles{
            QStringLiteral("Capture Region"), QStringLiteral("Open Screenshots Folder"), QString(),
            QStringLiteral("Settings…"),      QStringLiteral("Launch at Login"),         QString(),
            QStringLiteral("Quit kestrova")};
        for (int i = 0; i < 7; ++i) {
            QCOMPARE(items[i]->text(), titles[i]);
            QCOMPARE(items[i]->isSeparator(), titles[i].isEmpty());
        }
        QCOMPARE(items[3]->shortcut(), QKeySequence(QStringLiteral("Ctrl+,")));
        QCOMPARE(items[6]->shortcut(), QKeySequence(QStringLiteral("Ctrl+Q")));
        QVERIFY(items[0]->shortcut().isEmpty() && items[4]->shortcut().isEmpty());
        QVERIFY(items[4]->isCheckable());
    }

    void shortcutsWorkWhileTheMenuIsOpen() {
        AppDelegate delegate(nullptr, m_capture, m_writer);
        delegate.applicationDidFinishLaunching();
        delegate.menu()->popup(QPoint(10, 10));
        QTest::keyClick(delegate.menu(), Qt::Key_Comma, Qt::ControlModifier);
        QVERIFY(!delegate.menu()->isVisible());
        bool settingsShown = false;
        for (QWidget* w : QApplication::topLevelWidgets())
            settingsShown |=
                w->isVisible() && w->windowTitle() == QLatin1String("kestrova Settings");
        QVERIFY(settingsShown);
    }

    void openScreenshotsFolderCreatesItWithItsParents() {
        AppDelegate delegate(nullptr, m_capture, m_writer);
        delegate.applicationDidFinishLaunching();
        const QString folder = m_home.path() + QStringLiteral("/Pictures/kestrova");
        QVERIFY(!QFileInfo::exists(m_home.path() + QStringLiteral("/Pictures")));
        delegate.menu()->actions().at(1)->trigger();
        QVERIFY(QFileInfo(folder).isDir());
    }

    void launchAtLoginItemShowsTheSystemsState() {
        AppDelegate delegate(nullptr, m_capture, m_writer);
        delegate.applicationDidFinishLaunching();
        QAction* item = delegate.menu()->actions().at(4);
        item->trigger();
        QVERIFY(LaunchAtLogin::isEnabled());
        QVERIFY(item->isChecked());
        // Changed outside the application: the next opening of the menu shows it.
        QCOMPARE(LaunchAtLogin::setEnabled(false), std::nullopt);
        QVERIFY(item->isChecked());
        emit delegate.menu()->aboutToShow();
        QVERIFY(!item->isChecked());
    }

    void triggersAreIgnoredWhileSelecting() {
        AppDelegate delegate(nullptr, m_capture, m_writer);
        delegate.applicationDidFinishLaunching();
        delegate.beginCapture();
        QVERIFY(delegate.isSelecting());
        const int shown = overlayWindows();
        QCOMPARE(shown, QGuiApplication::screens().size());
        delegate.beginCapture();
        QCOMPARE(overlayWindows(), shown);

        // Escape ends the selection; the next trigger works again.
        QWidget* view = nullptr;
        for (QWidget* w : QApplication::topLevelWidgets())
            if (w->isVisible() && w->windowTitle() == QLatin1String("kestrova selection"))
                view = w->findChild<QWidget*>();
        QVERIFY(view);
        QTest::keyClick(view, Qt::Key_Escape);
        QVERIFY(!delegate.isSelecting());
        QVERIFY(test::waitUntil([] { return overlayWindows() == 0; }));
        delegate.beginCapture();
        QVERIFY(delegate.isSelecting());
    }

    // Overlay windows are kept hidden between selections and shown again, and let go
    // once kestrova has been idle for a while.
    void overlayWindowsServeTheNextSelectionUntilIdle() {
        AppDelegate delegate(nullptr, m_capture, m_writer);
        delegate.setIdleDelay(std::chrono::milliseconds(300));
        delegate.applicationDidFinishLaunching();
        const auto overlays = [] {
            QList<QPointer<QWidget>> all;
            for (QWidget* w : QApplication::topLevelWidgets())
                if (w->windowTitle() == QLatin1String("kestrova selection"))
                    all.append(w);
            return all;
        };
        const auto escape = [] {
            for (QWidget* w : QApplication::topLevelWidgets())
                if (w->isVisible() && w->windowTitle() == QLatin1String("kestrova selection"))
                    QTest::keyClick(static_cast<KeyableWindow*>(w)->content(), Qt::Key_Escape);
        };
        delegate.beginCapture();
        const QList<QPointer<QWidget>> first = overlays();
        QCOMPARE(first.size(), QGuiApplication::screens().size());
        escape();
        QVERIFY(!delegate.isSelecting());
        QCOMPARE(overlayWindows(), 0);

        QTest::qWait(100);
        delegate.beginCapture();
        QCOMPARE(overlays(), first);
        QCOMPARE(overlayWindows(), first.size());
        escape();
        QVERIFY(!delegate.isSelecting());

        QVERIFY(test::waitUntil([&] {
            return std::all_of(first.begin(), first.end(), [](const auto& w) { return !w; });
        }));
        delegate.beginCapture();
        QCOMPARE(overlayWindows(), first.size());
        escape();
    }

    void aDesktopThatAsksFirstGetsTheOverlayOnlyWhenItAnswers() {
        auto backend = std::make_shared<AskingBackend>();
        CaptureService capture(backend);
        AppDelegate delegate(nullptr, capture, m_writer);
        delegate.applicationDidFinishLaunching();
        delegate.beginCapture();
        QVERIFY(delegate.isSelecting());
        QCOMPARE(overlayWindows(), 0);
        delegate.beginCapture(); // waiting for the answer is selecting: ignored
        QCOMPARE(backend->asked, 1);

        backend->answer(backend->stillsOfEveryScreen());
        QVERIFY(
            test::waitUntil([] { return overlayWindows() == QGuiApplication::screens().size(); }));
        QWidget* view = nullptr;
        for (QWidget* w : QApplication::topLevelWidgets())
            if (w->isVisible() && w->windowTitle() == QLatin1String("kestrova selection"))
                view = w->findChild<QWidget*>();
        QVERIFY(view);
        // The still is what the overlay shows: its colour, dimmed, fills the screen.
        const QImage shown = view->grab().toImage();
        const QColor dimmed = shown.pixelColor(shown.width() / 2, shown.height() / 2);
        QVERIFY(std::abs(dimmed.green() - int(QColor(Qt::darkCyan).green() * 0.65)) <= 2);
        QCOMPARE(dimmed.red(), 0);
        QTest::keyClick(view, Qt::Key_Escape);
        QVERIFY(!delegate.isSelecting());
    }

    void aDeclinedCaptureEndsQuietlyAndAFailureSaysWhy() {
        auto backend = std::make_shared<AskingBackend>();
        CaptureService capture(backend);
        AppDelegate delegate(nullptr, capture, m_writer);
        delegate.applicationDidFinishLaunching();

        delegate.beginCapture();
        backend->answer(CaptureError::make(CaptureError::Kind::cancelled));
        QVERIFY(test::waitUntil([&] { return !delegate.isSelecting(); }));
        QTest::qWait(50);
        QVERIFY2(!shownAlert(), "declining is no failure");
        QCOMPARE(overlayWindows(), 0);

        delegate.beginCapture();
        QCOMPARE(backend->asked, 2);
        backend->answer(Error{QStringLiteral("The desktop refused to take a screenshot.")});
        QVERIFY(test::waitUntil([&] { return !delegate.isSelecting(); }));
        QVERIFY(test::waitUntil([] { return shownAlert() != nullptr; }));
        QMessageBox* alert = shownAlert();
        QCOMPARE(alert->text(), QStringLiteral("kestrova couldn't capture the screen"));
        QCOMPARE(alert->informativeText(),
                 QStringLiteral("The desktop refused to take a screenshot. Install the portal."));
        // Nothing in kestrova's settings could change the desktop's mind: no such button.
        QCOMPARE(alert->buttons().size(), 1);
        alert->close();

        delegate.beginCapture();
        QCOMPARE(backend->asked, 3);
    }
};

QTEST_MAIN(AppDelegateTest)
#include "tst_appdelegate.moc"
