// What users rely on, on the real X server with real clicks and keys (xdotool): the
// application controller with its real X11 capture and hot-key backends, the settings
// window, the editor and the clipboard, as one process.

#include "AppDelegate.h"
#include "CaptureService.h"
#include "EditorToolbar.h"
#include "EditorView.h"
#include "HotKeyRecorderButton.h"
#include "LaunchAtLogin.h"
#include "Palette.h"
#include "ScreenshotWriter.h"
#include "Settings.h"
#include "SwatchButton.h"
#include "TestSupport.h"
#include "ToolOptionsController.h"
#include "Unwritable.h"
#include "X11CaptureBackend.h"
#include "X11HotKeyBackend.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QClipboard>
#include <QDesktopServices>
#include <QDir>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QMimeData>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolButton>

using namespace kestrova;

namespace {

const QRgb desktop = qRgb(0x33, 0x66, 0xaa);
// The selection every journey drags out, in screen pixels (y down).
constexpr int selLeft = 400, selTop = 300, selRight = 800, selBottom = 600;

void key(const QString& keys) {
    test::xdotool({QStringLiteral("key"), QStringLiteral("--delay"), QStringLiteral("60"), keys});
    test::settle();
}

void clickAt(QPoint global) {
    test::xdotool(
        {QStringLiteral("mousemove"), QString::number(global.x()), QString::number(global.y())});
    test::settle();
    test::xdotool({QStringLiteral("click"), QStringLiteral("1")});
    test::settle();
}

// A real click in the middle of a widget that is on screen.
void click(QWidget* widget) {
    QVERIFY(widget && test::waitUntil([widget] { return widget->isVisible(); }));
    // A window just shown is still being placed by the window manager.
    QVERIFY(QTest::qWaitForWindowExposed(widget->window()));
    QTest::qWait(200);
    clickAt(widget->mapToGlobal(widget->rect().center()));
}

QWidget* topLevel(const QString& title) {
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (w->isVisible() && w->windowTitle() == title)
            return w;
    }
    return nullptr;
}

template <typename T> T* inWindow(const QString& title) {
    QWidget* window = topLevel(title);
    return window ? window->findChild<T*>() : nullptr;
}

QList<QAction*> trayItems(const AppDelegate& delegate) {
    return delegate.menu()->actions();
}

// Answers the next alert: records its texts and buttons, then presses `answer`.
class AlertAnswerer final {
public:
    explicit AlertAnswerer(QString answer) : m_answer(std::move(answer)) {
        QObject::connect(&m_poll, &QTimer::timeout, [this] {
            QMessageBox* box = nullptr;
            for (QWidget* w : QApplication::topLevelWidgets()) {
                if (auto* b = qobject_cast<QMessageBox*>(w); b && b->isVisible())
                    box = b;
            }
            if (!box || !texts.isEmpty())
                return;
            texts << box->text() << box->informativeText();
            for (QAbstractButton* b : box->buttons()) {
                buttons << b->text();
                if (b->text() == m_answer)
                    QTimer::singleShot(0, b, &QAbstractButton::click);
            }
        });
        m_poll.start(20);
    }
    QStringList texts;
    QStringList buttons;

private:
    QString m_answer;
    QTimer m_poll;
};

// Fails every grab, as a display that went away would; shows live, like a compositor.
class FailingBackend final : public CaptureBackend {
public:
    explicit FailingBackend(QUrl settings) : m_settings(std::move(settings)) {}
    Expected<QImage> grab(const QRect&) override {
        return Error{QStringLiteral("The display is gone."), QStringLiteral("test"), 1};
    }
    bool isCompositing() const override { return true; }
    QString failureHint() const override { return QStringLiteral(" Reconnect it."); }
    QUrl settingsUrl() const override { return m_settings; }

private:
    QUrl m_settings;
};

} // namespace

class UserJourneysTest final : public QObject {
    Q_OBJECT
private:
    QTemporaryDir m_home;
    CaptureService m_capture;
    ScreenshotWriter m_writer;

    QString pictures() const { return m_home.path() + QStringLiteral("/Pictures/kestrova"); }

    // Drags out the selection and waits for the editor; returns its view and toolbar.
    std::pair<EditorView*, EditorToolbar*> openEditor(AppDelegate& delegate) {
        delegate.beginCapture();
        if (!test::waitUntil([] { return topLevel(QStringLiteral("kestrova selection")); }))
            return {};
        QTest::qWait(200);
        test::drag(selLeft, selTop, selRight, selBottom);
        if (!test::waitUntil(
                [] { return inWindow<EditorToolbar>(QStringLiteral("kestrova editor")); }))
            return {};
        QTest::qWait(300);
        return {inWindow<EditorView>(QStringLiteral("kestrova editor")),
                inWindow<EditorToolbar>(QStringLiteral("kestrova editor"))};
    }

    QImage newestScreenshot() {
        QStringList files;
        test::waitUntil(
            [&] {
                files = QDir(pictures()).entryList(QDir::Files, QDir::Time);
                return !files.isEmpty();
            },
            8000);
        if (files.isEmpty())
            return {};
        const QImage image(pictures() + u'/' + files.first());
        QFile::remove(pictures() + u'/' + files.first());
        return image.convertToFormat(QImage::Format_RGB32);
    }

private slots:
    void initTestCase() {
        qputenv("HOME", m_home.path().toUtf8());
        qputenv("XDG_CONFIG_HOME", (m_home.path() + QStringLiteral("/config")).toUtf8());
        QCOMPARE(test::run(QStringLiteral("xsetroot"),
                           {QStringLiteral("-solid"), QStringLiteral("#3366aa")}),
                 0);
        m_capture.setBackend(X11CaptureBackend::connect());
        QVERIFY(m_capture.backend());
    }

    void cleanupTestCase() { m_capture.setBackend(nullptr); }

    void hotKeyChangedOrClearedInTheWindowTakesEffectAtOnce() {
        AppDelegate delegate(X11HotKeyBackend::create(), m_capture, m_writer);
        delegate.applicationDidFinishLaunching();
        QVERIFY(delegate.hotKey().isRegistered());
        delegate.openSettings();
        auto* recorder = inWindow<HotKeyRecorderButton>(QStringLiteral("kestrova Settings"));
        click(recorder);
        key(QStringLiteral("ctrl+shift+F9"));
        QVERIFY(test::waitUntil([] { return Settings::shared().hotKeyCode() == 101; }));

        key(QStringLiteral("shift+super+2")); // the old key no longer captures
        QTest::qWait(400);
        QVERIFY(!delegate.isSelecting());
        key(QStringLiteral("ctrl+shift+F9"));
        QVERIFY(test::waitUntil([&] { return delegate.isSelecting(); }));
        key(QStringLiteral("Escape"));
        QVERIFY(test::waitUntil([&] { return !delegate.isSelecting(); }));

        // Clear: nothing is grabbed any more, at once.
        delegate.openSettings();
        QPushButton* clear = nullptr;
        for (auto* b : topLevel(QStringLiteral("kestrova Settings"))->findChildren<QPushButton*>())
            clear = b->text() == QLatin1String("Clear") ? b : clear;
        click(clear);
        QVERIFY(!Settings::shared().hasHotKey());
        QVERIFY(!delegate.hotKey().isRegistered());
        key(QStringLiteral("ctrl+shift+F9"));
        QTest::qWait(400);
        QVERIFY(!delegate.isSelecting());
        Settings::shared().setHotKey(19, 0x300);
        topLevel(QStringLiteral("kestrova Settings"))->close();
    }

    void defaultsChosenInTheWindowReachTheNextEditorAndTheSavedImage() {
        AppDelegate delegate(nullptr, m_capture, m_writer);
        delegate.applicationDidFinishLaunching();
        delegate.openSettings();
        QWidget* window = topLevel(QStringLiteral("kestrova Settings"));
        QVERIFY(window);
        // Not the defaults (the first colour and 4 would pass by accident).
        SwatchButton* third = nullptr;
        for (SwatchButton* swatch : window->findChildren<SwatchButton*>())
            third = swatch->index() == 2 ? swatch : third;
        click(third);
        const auto* thickness = window->findChild<QButtonGroup*>();
        click(thickness->button(2));
        QCOMPARE(Settings::shared().defaultColorIndex(), 2);
        QCOMPARE(Settings::shared().defaultThickness(), 6.0);
        window->close();

        auto [view, toolbar] = openEditor(delegate);
        QVERIFY(view && toolbar);
        test::drag(selLeft + 100, selTop + 100, selLeft + 300, selTop + 200); // a rectangle
        click(toolbar->saveButton());
        const QImage saved = newestScreenshot();
        QCOMPARE(saved.size(), QSize(selRight - selLeft, selBottom - selTop));
        const QRgb colour = Palette::colors()[2].rgb();
        QVERIFY(test::near(saved.pixel(100, 150), colour, 8)); // on the left edge
        QVERIFY(test::near(saved.pixel(102, 150), colour, 8)); // 6 wide: 97 … 103
        QVERIFY(test::near(saved.pixel(106, 150), desktop, 2));
        QVERIFY(test::near(saved.pixel(94, 150), desktop, 2));
        Settings::shared().setDefaultColorIndex(0);
        Settings::shared().setDefaultThickness(4);
    }

    void typedTextReachesTheSavedAndTheCopiedImage() {
        AppDelegate delegate(nullptr, m_capture, m_writer);
        delegate.applicationDidFinishLaunching();
        for (const bool save : {true, false}) {
            auto [view, toolbar] = openEditor(delegate);
            QVERIFY(view && toolbar);
            // The options open on the first real click of the tool and close on the second.
            click(toolbar->toolButton(Tool::text));
            QVERIFY(toolbar->popover() && toolbar->popover()->isVisible());
            click(toolbar->toolButton(Tool::text));
            QVERIFY(test::waitUntil(
                [&] { return !toolbar->popover() || !toolbar->popover()->isVisible(); }));

            clickAt({selLeft + 50, selTop + 100});
            QVERIFY(view->activeTextField());
            test::xdotool({QStringLiteral("type"), QStringLiteral("MMMM")});
            key(QStringLiteral("Return"));
            QVERIFY(!view->activeTextField());
            QCOMPARE(view->canvas().annotations().size(), std::size_t(1));

            QImage result;
            if (save) {
                click(toolbar->saveButton());
                result = newestScreenshot();
            } else {
                QApplication::clipboard()->clear();
                click(toolbar->copyButton());
                // The image reaches the clipboard once it is made, in the background.
                QVERIFY(test::waitUntil([] {
                    const QMimeData* data = QApplication::clipboard()->mimeData();
                    return data && data->hasFormat(QStringLiteral("image/png"));
                }));
                // The clipboard's owner is this process: keep its event loop running
                // while another client asks for the image.
                QProcess xclip;
                xclip.start(QStringLiteral("xclip"),
                            {QStringLiteral("-selection"), QStringLiteral("clipboard"),
                             QStringLiteral("-t"), QStringLiteral("image/png"),
                             QStringLiteral("-o")});
                QVERIFY(
                    test::waitUntil([&] { return xclip.state() == QProcess::NotRunning; }, 8000));
                const QByteArray png = xclip.readAllStandardOutput();
                result = test::decode(png).convertToFormat(QImage::Format_RGB32);
            }
            QCOMPARE(result.size(), QSize(selRight - selLeft, selBottom - selTop));
            // Red letters to the right of and around the click, nowhere else.
            int red = 0;
            for (int y = 70; y < 130; ++y)
                for (int x = 50; x < 200; ++x)
                    red += test::near(result.pixel(x, y), Palette::colors()[0].rgb(), 40);
            QVERIFY2(red > 100, qPrintable(QString::number(red)));
            QVERIFY(test::near(result.pixel(300, 250), desktop, 2));
            QVERIFY(test::waitUntil([&] { return !delegate.isEditing(); }));
        }
    }

    void toolbarFollowsTheSelectionAndCloseDismissesOnce() {
        EditorWindowController editor(m_writer);
        int dismissals = 0;
        const QImage image = m_capture.backend()->grab({0, 0, 1920, 1200}).value().copy();
        QScreen* screen = QGuiApplication::primaryScreen();
        // 400 × 300 points at (400, 300) from the top-left: y-up (400, 1200 − 600).
        connect(&editor, &EditorWindowController::onDismiss, [&] { ++dismissals; });
        editor.present(image, screen, QRectF(selLeft, 1200 - selBottom, 400, 300));
        QVERIFY(test::waitUntil([&] { return editor.toolbar() && editor.toolbar()->isVisible(); }));
        QTest::qWait(300);
        const QPoint before = editor.toolbar()->mapToGlobal(QPoint(0, 0));

        // Drag the selection's top border (away from its handles) down and right: the
        // toolbar goes along.
        test::drag(selLeft + 100, selTop, selLeft + 200, selTop + 50);
        QTest::qWait(200);
        QCOMPARE(editor.editorView()->canvas().selectionRect(),
                 QRectF(selLeft + 100, 1200 - selBottom - 50, 400, 300));
        QCOMPARE(editor.toolbar()->mapToGlobal(QPoint(0, 0)), before + QPoint(100, 50));

        // Resize from the bottom-right handle: still centred under the selection.
        test::drag(selRight + 100, selBottom + 50, selRight + 200, selBottom + 100);
        QTest::qWait(200);
        const QRect bar(editor.toolbar()->mapToGlobal(QPoint(0, 0)), editor.toolbar()->size());
        QVERIFY(std::abs(bar.left() + bar.width() / 2 - (selLeft + 100 + selRight + 200) / 2) <= 1);
        QCOMPARE(bar.top(), selBottom + 100 + 10);

        click(editor.toolbar()->closeButton());
        QVERIFY(test::waitUntil([] { return !topLevel(QStringLiteral("kestrova editor")); }));
        QTest::qWait(200);
        QCOMPARE(dismissals, 1);
        editor.dismiss(); // a second dismiss does nothing more
        QCOMPARE(dismissals, 1);
    }

    void aFailedCopyComesBackWithItsWorkAndLeavesTheClipboardAlone() {
        QApplication::clipboard()->setText(QStringLiteral("from before"));
        EditorWindowController editor(m_writer);
        // A capture without pixels: nothing can be cut out of it.
        editor.present(QImage(), QGuiApplication::primaryScreen(),
                       QRectF(selLeft, 1200 - selBottom, 400, 300));
        QVERIFY(test::waitUntil([&] { return editor.toolbar() && editor.toolbar()->isVisible(); }));
        AlertAnswerer answerer(QStringLiteral("OK"));
        editor.copy();
        QVERIFY(test::waitUntil([&] { return !answerer.texts.isEmpty(); }));
        QCOMPARE(answerer.texts[0], QStringLiteral("kestrova couldn't copy the screenshot"));
        QVERIFY(topLevel(QStringLiteral("kestrova editor")));
        QCOMPARE(QApplication::clipboard()->text(), QStringLiteral("from before"));
        editor.dismiss();
    }

    void captureFailureAlertLeadsWhereTheBackendSays() {
        const auto real = m_capture.backend();
        QList<QUrl> opened;
        QDesktopServices::setUrlHandler(QStringLiteral("x-kestrova-test"), this, "recordUrl");
        connect(this, &UserJourneysTest::urlOpened, this, [&](const QUrl& u) { opened << u; });
        for (const QUrl& target : {QUrl(QStringLiteral("x-kestrova-test:panel")), QUrl()}) {
            m_capture.setBackend(std::make_shared<FailingBackend>(target));
            AppDelegate delegate(nullptr, m_capture, m_writer);
            delegate.applicationDidFinishLaunching();
            AlertAnswerer answerer(QStringLiteral("Open Settings"));
            delegate.beginCapture();
            QVERIFY(test::waitUntil([] { return topLevel(QStringLiteral("kestrova selection")); }));
            QTest::qWait(200);
            test::drag(selLeft, selTop, selRight, selBottom);
            QVERIFY(test::waitUntil([&] { return !answerer.texts.isEmpty(); }, 8000));
            QCOMPARE(answerer.texts[0], QStringLiteral("kestrova couldn't capture the screen"));
            QCOMPARE(answerer.texts[1], QStringLiteral("The display is gone. Reconnect it."));
            QCOMPARE(answerer.buttons.size(), 2);
            QVERIFY(answerer.buttons.contains(QStringLiteral("Open Settings")) &&
                    answerer.buttons.contains(QStringLiteral("OK")));
            QTest::qWait(300);
            if (target.isEmpty()) { // kestrova's own settings window
                QVERIFY(topLevel(QStringLiteral("kestrova Settings")));
                topLevel(QStringLiteral("kestrova Settings"))->close();
            } else {
                QCOMPARE(opened, QList<QUrl>{target});
            }
        }
        QDesktopServices::unsetUrlHandler(QStringLiteral("x-kestrova-test"));
        m_capture.setBackend(real);
    }

    void aFailedSaveWaitsForTheScreenThenComesBackWithItsWork() {
        AppDelegate delegate(nullptr, m_capture, m_writer);
        delegate.applicationDidFinishLaunching();
        test::UnwritableFolder unwritable;
        QVERIFY(QFileInfo(unwritable.path()).isDir());
        Settings::shared().setSaveFolder(unwritable.path());
        auto [view, toolbar] = openEditor(delegate);
        QVERIFY(view && toolbar);
        test::drag(selLeft + 100, selTop + 100, selLeft + 300, selTop + 200);
        QCOMPARE(view->canvas().annotations().size(), std::size_t(1));

        // Save, and start the next capture before the failure can arrive: the overlay
        // the user is working in is not taken away from them.
        toolbar->saveButton()->click();
        QVERIFY(!topLevel(QStringLiteral("kestrova editor"))); // gone at once
        QVERIFY(!delegate.isEditing());
        delegate.beginCapture();
        QVERIFY(delegate.isSelecting());
        QTest::qWait(800); // the save has failed by now
        QVERIFY(!topLevel(QStringLiteral("kestrova editor")));
        QVERIFY(!QApplication::activeModalWidget());

        // Once the overlay is gone, the editor comes back as it was, with the alert.
        AlertAnswerer answerer(QStringLiteral("OK"));
        key(QStringLiteral("Escape"));
        QVERIFY(test::waitUntil([] { return topLevel(QStringLiteral("kestrova editor")); }));
        QVERIFY(test::waitUntil([&] { return !answerer.texts.isEmpty(); }));
        QCOMPARE(answerer.texts[0], QStringLiteral("kestrova couldn't save the screenshot"));
        QVERIFY2(answerer.texts[1].contains(unwritable.path()), qPrintable(answerer.texts[1]));
        QVERIFY(delegate.isEditing());
        auto* back = inWindow<EditorView>(QStringLiteral("kestrova editor"));
        QCOMPARE(back, view);
        QCOMPARE(back->canvas().annotations().size(), std::size_t(1));
        QCOMPARE(back->canvas().selectionRect(), QRectF(selLeft, 1200 - selBottom, 400, 300));

        // Fixed folder, saved again: now it is written and the editor goes for good.
        Settings::shared().setSaveFolder(m_home.path());
        QTest::qWait(300);
        click(inWindow<EditorToolbar>(QStringLiteral("kestrova editor"))->saveButton());
        QVERIFY(test::waitUntil([&] { return !delegate.isEditing(); }));
        QVERIFY(test::waitUntil([&] {
            return !QDir(m_home.path()).entryList({QStringLiteral("kestrova_*.png")}).isEmpty();
        }));
        QVERIFY(!topLevel(QStringLiteral("kestrova editor")));
        Settings::shared().setSaveFolder(pictures());
    }

    void launchAtLoginFailureAlertsAndTheCheckMarkFollowsTheSystem() {
        AppDelegate delegate(nullptr, m_capture, m_writer);
        delegate.applicationDidFinishLaunching();
        QAction* item = trayItems(delegate)[4];
        QVERIFY(!item->isChecked());

        // The tray menu's toggle fails where the autostart folder cannot be written.
        test::UnwritableFolder unwritable;
        const QByteArray saved = qgetenv("XDG_CONFIG_HOME");
        qputenv("XDG_CONFIG_HOME", (unwritable.path() + QStringLiteral("/cfg")).toUtf8());
        {
            AlertAnswerer answerer(QStringLiteral("OK"));
            delegate.toggleLaunchAtLogin();
            QVERIFY(test::waitUntil([&] { return !answerer.texts.isEmpty(); }));
            QCOMPARE(answerer.texts.value(0), QStringLiteral("Couldn't enable launch at login"));
            QVERIFY(!answerer.texts.value(1).isEmpty());
        }
        qputenv("XDG_CONFIG_HOME", saved);
        QVERIFY(!item->isChecked());

        // The settings window's check box moves the tray's check mark at once.
        delegate.openSettings();
        click(inWindow<QCheckBox>(QStringLiteral("kestrova Settings")));
        QVERIFY(LaunchAtLogin::isEnabled());
        QVERIFY(item->isChecked());
        click(inWindow<QCheckBox>(QStringLiteral("kestrova Settings")));
        QVERIFY(!LaunchAtLogin::isEnabled());
        QVERIFY(!item->isChecked());
        topLevel(QStringLiteral("kestrova Settings"))->close();
    }

public slots:
    void recordUrl(const QUrl& url) { emit urlOpened(url); }

signals:
    void urlOpened(const QUrl& url);
};

QTEST_MAIN(UserJourneysTest)
#include "tst_userjourneys.moc"
