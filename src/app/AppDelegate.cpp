#include "AppDelegate.h"
#include "Log.h"

#include "CaptureError.h"

#include "CaptureService.h"
#include "EditorWindowController.h"
#include "LaunchAtLogin.h"
#include "LaunchAtLoginAlert.h"
#include "ScreenshotFile.h"
#include "ScreenshotWriter.h"
#include "SelectionOverlayController.h"
#include "Settings.h"
#include "SettingsWindowController.h"
#include "StatusNotifierItem.h"
#include "TrayIcon.h"

#include <QAction>
#include <QApplication>
#include <QDesktopServices>
#include <QFutureWatcher>
#include <QKeyEvent>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QUrl>

namespace kestrova {

AppDelegate::AppDelegate(std::unique_ptr<HotKeyBackend> hotKeyBackend, CaptureService& capture,
                         ScreenshotWriter& writer, QObject* parent)
    : QObject(parent), m_capture(capture), m_writer(writer), m_hotKey(std::move(hotKeyBackend)) {
    m_idle.setSingleShot(true);
    m_idle.setInterval(std::chrono::seconds(30));
    connect(&m_idle, &QTimer::timeout, this, [this] {
        if (m_overlay || m_editor)
            return;
        if (const auto& backend = m_capture.backend())
            backend->releaseCaches();
        m_overlayWindows.clear();
    });
}

void AppDelegate::becameIdle() {
    if (!m_overlay && !m_editor)
        m_idle.start();
}

// The overlay and editor controllers are children of the delegate; they close their
// windows when it deletes them.
AppDelegate::~AppDelegate() = default;

void AppDelegate::applicationDidFinishLaunching() {
    setupStatusItem();
    registerHotKey();
    connect(&Settings::shared(), &Settings::hotKeyChanged, this, &AppDelegate::registerHotKey);
}

void AppDelegate::setupStatusItem() {
    m_menu = std::make_unique<QMenu>();
    m_menu->setTitle(QStringLiteral("kestrova"));
    // A window title lets tests and accessibility tools find the open menu.
    m_menu->setWindowTitle(QStringLiteral("kestrova menu"));
    m_menu->addAction(QStringLiteral("Capture Region"), this, &AppDelegate::menuCapture);
    m_menu->addAction(QStringLiteral("Open Screenshots Folder"), this, &AppDelegate::openFolder);
    m_menu->addSeparator();
    m_menu->addAction(QStringLiteral("Settings…"), QKeySequence(QStringLiteral("Ctrl+,")), this,
                      &AppDelegate::openSettings);
    m_launchAtLoginItem = m_menu->addAction(QStringLiteral("Launch at Login"), this,
                                            &AppDelegate::toggleLaunchAtLogin);
    m_launchAtLoginItem->setCheckable(true);
    m_menu->addSeparator();
    m_menu->addAction(QStringLiteral("Quit kestrova"), QKeySequence(QStringLiteral("Ctrl+Q")), this,
                      &AppDelegate::quit);
    connect(m_menu.get(), &QMenu::aboutToShow, this, &AppDelegate::menuWillOpen);
    m_menu->installEventFilter(this);

    // A tray that draws menus itself gets the menu to open at the icon.
    if (StatusNotifierItem::hostAvailable()) {
        m_trayItem = std::make_unique<StatusNotifierItem>(
            TrayIcon::make(), QStringLiteral("kestrova"),
            StatusNotifierItem::Menu{m_menu->actions(), [this] { menuWillOpen(); }});
        connect(m_trayItem.get(), &StatusNotifierItem::onMenuRequested, this,
                [this](QPoint at) { m_menu->popup(at); });
        if (m_trayItem->show())
            return;
        m_trayItem.reset();
    }
    m_statusItem = std::make_unique<QSystemTrayIcon>(TrayIcon::make());
    m_statusItem->setToolTip(QStringLiteral("kestrova"));
    m_statusItem->setContextMenu(m_menu.get());
    connect(m_statusItem.get(), &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                // A left click opens the menu too: it is the icon's only behaviour.
                if (reason == QSystemTrayIcon::Trigger && m_statusItem)
                    m_menu->popup(m_statusItem->geometry().bottomLeft());
            });
    if (!QSystemTrayIcon::isSystemTrayAvailable()) {
        qCWarning(lcApp, "no system tray is available; the hot key and `kestrova --capture` "
                         "still work");
    }
    m_statusItem->show();
}

bool AppDelegate::eventFilter(QObject* watched, QEvent* event) {
    // An open popup menu does not take part in shortcut matching: give its items'
    // shortcuts (Ctrl+Q, Ctrl+,) their effect while it is open.
    if (watched == m_menu.get() && event->type() == QEvent::KeyPress) {
        const QKeySequence pressed(static_cast<QKeyEvent*>(event)->keyCombination());
        for (QAction* item : m_menu->actions()) {
            if (!item->shortcut().isEmpty() && item->shortcut() == pressed) {
                m_menu->close();
                item->trigger();
                return true;
            }
        }
    }
    return QObject::eventFilter(watched, event);
}

void AppDelegate::menuWillOpen() {
    refreshLaunchAtLoginItem();
}

void AppDelegate::refreshLaunchAtLoginItem() {
    if (m_launchAtLoginItem)
        m_launchAtLoginItem->setChecked(LaunchAtLogin::isEnabled());
}

void AppDelegate::registerHotKey() {
    const Settings& settings = Settings::shared();
    if (settings.hasHotKey()) {
        // The manager is the delegate's own: it cannot call after the delegate is gone.
        m_hotKey.registerHotKey(settings.hotKeyCode(), settings.hotKeyModifiers(),
                                [this] { beginCapture(); });
    } else {
        m_hotKey.unregister();
    }
}

void AppDelegate::menuCapture() {
    // The menu has hidden itself before its item fires; a round trip to the display
    // server makes sure it has left the screen before the screen is read.
    QGuiApplication::sync();
    beginCapture();
}

void AppDelegate::beginCapture() {
    if (m_overlay)
        return;
    m_idle.stop();
    auto* overlay = new SelectionOverlayController(m_capture, this, &m_overlayWindows);
    m_overlay = overlay;
    connect(overlay, &SelectionOverlayController::onCaptureFailed, this,
            &AppDelegate::presentCaptureError);
    // The overlay is the delegate's child: its completion never outlives the delegate.
    overlay->begin([this, overlay](std::optional<SelectionResult> result) {
        if (m_overlay == overlay) {
            m_overlay = nullptr;
            overlay->deleteLater(); // it is still on the stack that reports the result
        }
        // The overlay held the keyboard; an editor it covered takes it back.
        if (m_editor)
            m_editor->regainKeyboard();
        if (!result) {
            becameIdle();
            bringBackFailedSave();
            return;
        }
        handleSelection(result->screen, result->rect);
    });
}

void AppDelegate::handleSelection(QScreen* screen, const QRectF& rect) {
    auto* watcher = new QFutureWatcher<Expected<QImage>>(this);
    QPointer<QScreen> where(screen);
    connect(watcher, &QFutureWatcherBase::finished, this, [this, watcher, where, rect] {
        watcher->deleteLater();
        Expected<QImage> captured = watcher->result();
        if (captured && where)
            presentEditor(captured.value(), where, rect);
        else
            presentCaptureError(captured ? CaptureError::make(CaptureError::Kind::noDisplay)
                                         : captured.error());
        becameIdle();
        bringBackFailedSave();
    });
    watcher->setFuture(m_capture.captureFullDisplay(screen));
}

void AppDelegate::presentEditor(const QImage& image, QScreen* screen, const QRectF& selection) {
    if (m_editor)
        return; // an editor is open: this capture is dropped
    auto* editor = new EditorWindowController(m_writer, this);
    m_editor = editor;
    connect(editor, &EditorWindowController::onSaving, this, [this, editor] {
        // Gone from the screen while its file is written: the next capture may start.
        if (m_editor == editor) {
            m_editor = nullptr;
            becameIdle();
        }
    });
    connect(editor, &EditorWindowController::onSaveFailed, this, [this, editor] {
        m_failedSaves.emplace_back(editor);
        bringBackFailedSave();
    });
    connect(editor, &EditorWindowController::onDismiss, this, [this, editor] {
        editor->deleteLater();
        if (m_editor == editor) {
            m_editor = nullptr;
            becameIdle();
            bringBackFailedSave();
        }
    });
    editor->present(image, screen, selection);
}

// A failed save's editor comes back as soon as the screen is free: never over an
// overlay or another editor the user is working in (that would take the screen from
// under them), but right after those end, oldest failure first. Its work is kept
// until then.
void AppDelegate::bringBackFailedSave() {
    while (!m_overlay && !m_editor && !m_failedSaves.empty()) {
        const QPointer<EditorWindowController> editor = m_failedSaves.front();
        m_failedSaves.pop_front();
        if (!editor)
            continue;
        m_idle.stop();
        m_editor = editor;
        editor->restoreAfterFailedSave();
    }
}

void AppDelegate::presentCaptureError(const Error& error) {
    const auto& backend = m_capture.backend();
    // Not modal: the hot key and the instance channel stay live while it is up, and an
    // overlay shown over it must get the keys.
    const QString hint = backend ? backend->failureHint() : QString();
    // Also for the session's log, where an alert closed in a hurry can still be read.
    qCWarning(lcCapture).noquote()
        << "couldn't capture the screen:" << error.description << hint.trimmed();
    auto* alert = new QMessageBox;
    alert->setWindowModality(Qt::NonModal);
    alert->setAttribute(Qt::WA_DeleteOnClose);
    alert->setWindowTitle(QStringLiteral("kestrova"));
    alert->setText(QStringLiteral("kestrova couldn't capture the screen"));
    alert->setInformativeText(error.description + hint);
    // Only where settings could help: a desktop portal's refusal is not kestrova's.
    QPushButton* openSettingsButton =
        !backend || backend->settingsCanHelp()
            ? alert->addButton(QStringLiteral("Open Settings"), QMessageBox::AcceptRole)
            : nullptr;
    QPushButton* ok = alert->addButton(QStringLiteral("OK"), QMessageBox::RejectRole);
    alert->setDefaultButton(openSettingsButton ? openSettingsButton : ok);
    alert->setWindowFlag(Qt::WindowStaysOnTopHint);
    const QUrl target = backend ? backend->settingsUrl() : QUrl();
    connect(alert, &QMessageBox::buttonClicked, this,
            [this, openSettingsButton, target](QAbstractButton* clicked) {
                if (clicked != openSettingsButton)
                    return;
                if (target.isValid() && !target.isEmpty())
                    QDesktopServices::openUrl(target);
                else
                    openSettings();
            });
    alert->show();
}

void AppDelegate::openFolder() {
    const Expected<QString> folder =
        ScreenshotFile::saveDirectory(Settings::shared().saveFolderURL());
    if (!folder)
        return;
    QDesktopServices::openUrl(QUrl::fromLocalFile(folder.value()));
}

void AppDelegate::openSettings() {
    if (!m_settingsWindow) {
        m_settingsWindow = std::make_unique<SettingsWindowController>();
        connect(m_settingsWindow.get(), &SettingsWindowController::onLaunchAtLoginChanged, this,
                &AppDelegate::refreshLaunchAtLoginItem);
    }
    m_settingsWindow->show();
}

void AppDelegate::toggleLaunchAtLogin() {
    const bool wasEnabled = LaunchAtLogin::isEnabled();
    if (const Status failure = LaunchAtLogin::setEnabled(!wasEnabled))
        LaunchAtLoginAlert::show(nullptr, !wasEnabled, *failure);
    refreshLaunchAtLoginItem();
}

void AppDelegate::quit() {
    QApplication::quit();
}

} // namespace kestrova
