#pragma once

#include "EditorWindowController.h"
#include "Error.h"
#include "HotKeyManager.h"
#include "OverlayWindowPool.h"
#include "SelectionOverlayController.h"
#include "SettingsWindowController.h"

#include <QImage>
#include <QObject>
#include <QPointer>
#include <QRectF>
#include <QTimer>

#include <deque>
#include <memory>

class QAction;
class QMenu;
class QScreen;
class QSystemTrayIcon;

namespace kestrova {

class CaptureService;
class ScreenshotWriter;
class StatusNotifierItem;

// The application controller: the tray icon and its menu, the hot key, and the road of
// a capture from trigger to editor.
class AppDelegate final : public QObject {
    Q_OBJECT
public:
    // `capture` and `writer` must outlive the delegate.
    AppDelegate(std::unique_ptr<HotKeyBackend> hotKeyBackend, CaptureService& capture,
                ScreenshotWriter& writer, QObject* parent = nullptr);
    ~AppDelegate() override;

    void applicationDidFinishLaunching();

    void beginCapture();
    void menuCapture();
    void openFolder();
    void openSettings();
    void toggleLaunchAtLogin();
    void quit();
    void registerHotKey();
    void menuWillOpen();

    bool isSelecting() const { return m_overlay != nullptr; }
    bool isEditing() const { return m_editor != nullptr; }
    const HotKeyManager& hotKey() const { return m_hotKey; }
    QMenu* menu() const { return m_menu.get(); }
    // How long after the last capture the memory kept to make the next one fast is
    // held (30 s).
    void setIdleDelay(std::chrono::milliseconds delay) { m_idle.setInterval(delay); }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void setupStatusItem();
    void handleSelection(QScreen* screen, const QRectF& rect);
    void presentEditor(const QImage& image, QScreen* screen, const QRectF& selection);
    void presentCaptureError(const Error& error);
    void refreshLaunchAtLoginItem();
    void becameIdle();
    void bringBackFailedSave();

    CaptureService& m_capture;
    ScreenshotWriter& m_writer;
    std::unique_ptr<QMenu> m_menu;
    std::unique_ptr<QSystemTrayIcon> m_statusItem;
    std::unique_ptr<StatusNotifierItem> m_trayItem;
    HotKeyManager m_hotKey;
    QPointer<SelectionOverlayController> m_overlay;
    QPointer<EditorWindowController> m_editor;
    std::deque<QPointer<EditorWindowController>> m_failedSaves; // waiting to come back
    std::unique_ptr<SettingsWindowController> m_settingsWindow;
    QAction* m_launchAtLoginItem = nullptr;
    QTimer m_idle; // memory kept for fast captures is given back after a while unused
    OverlayWindowPool m_overlayWindows;
};

} // namespace kestrova
