#pragma once

#include <QPointer>
#include <QScreen>
#include <QWidget>

namespace kestrova {

// A borderless window that covers one screen exactly, above panels and docks, and
// takes the keyboard when shown. Deletes itself when closed.
class KeyableWindow final : public QWidget {
    Q_OBJECT
public:
    enum class Kind {
        // Outside the window manager's control: above everything at once, keyboard
        // grabbed (the selection overlay).
        overlay,
        // Managed, full screen and on top, so that dialogs it opens can stand above it
        // (the editor).
        editor,
    };

    KeyableWindow(QScreen* screen, Kind kind, bool translucent);

    // Makes `content` fill the window (the window becomes its parent).
    void setContent(QWidget* content);
    QWidget* content() const { return m_content; }
    // Hides the content and deletes it once its events are through, leaving the window
    // empty for the next content.
    void dropContent();
    // The screen the window was made to cover; null once it is unplugged.
    QScreen* overlayScreen() const { return m_screen; }

    // Has the hidden window's drawing memory made and supplied now, so that its first
    // paint after present() finds it ready. For time that is spent waiting anyway (the
    // screens being read): a full screen's worth of fresh memory costs tens of
    // milliseconds, and more at 4K.
    void readyDrawingMemory();

    // Shows the window over its screen, and gives it the keyboard if asked to.
    void present(bool withKeyboard = true);

    // Whether the content writes its pixels straight into the window (see
    // CaptureBackend::paintWindow) rather than through Qt's window-sized drawing memory.
    void setPaintedDirectly(bool direct);
    QPaintEngine* paintEngine() const override;

    // Qt asks a widget that was shown to paint itself once more, and that request can
    // arrive after it has already been painted whole: nothing has changed then, and a
    // second full-screen paint would only compete with the display server showing the
    // first. True for such a request, which the widget should drop.
    static bool isRepeatedPaintRequest(const QEvent* event, bool paintedWhole);

protected:
    bool event(QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void takeKeyboard();
    void prefaultDrawingMemory();

    QPointer<QScreen> m_screen; // screens can be unplugged while a window is up
    Kind m_kind;
    QPointer<QWidget> m_content;
    bool m_wantsKeyboard = false;
    bool m_awaitingExposure = false; // shown, and not exposed since
    bool m_paintedWhole = false;     // since it was last shown
    const uchar* m_prefaulted = nullptr;
};

} // namespace kestrova
