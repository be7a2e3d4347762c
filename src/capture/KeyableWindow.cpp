#include "KeyableWindow.h"

#include "Prefault.h"

#include <QApplication>
#include <QBackingStore>
#include <QPaintEvent>
#include <QResizeEvent>
#include <QScreen>
#include <QWindow>

namespace kestrova {

KeyableWindow::KeyableWindow(QScreen* screen, Kind kind, bool translucent)
    : QWidget(nullptr, Qt::Window | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint |
                           (kind == Kind::overlay ? Qt::BypassWindowManagerHint : Qt::Widget)),
      m_screen(screen), m_kind(kind) {
    setAttribute(Qt::WA_DeleteOnClose);
    setAttribute(Qt::WA_TranslucentBackground, translucent);
    // An opaque overlay's content paints every pixel: clearing the window first would
    // only write the whole screen's memory once more before the first picture.
    if (kind == Kind::overlay && !translucent) {
        setAttribute(Qt::WA_NoSystemBackground);
        setAttribute(Qt::WA_OpaquePaintEvent);
    }
    setAttribute(Qt::WA_QuitOnClose, false);
    setWindowTitle(QStringLiteral("kestrova"));
    if (screen) {
        setScreen(screen);
        setGeometry(screen->geometry());
    }
}

void KeyableWindow::setContent(QWidget* content) {
    m_content = content;
    content->setParent(this);
    content->setGeometry(rect());
    // Painted directly, the content needs a native window of its own (Qt gives it one).
    // Made now, it is mapped with this window and exposed once; made as the window
    // shows, it would be exposed twice, each a whole screen to paint.
    if (testAttribute(Qt::WA_PaintOnScreen))
        content->winId();
    content->show();
}

void KeyableWindow::dropContent() {
    if (!m_content)
        return;
    // The content may be the one reporting the end of its own use, from its own event.
    m_content->hide();
    m_content->deleteLater();
    m_content = nullptr;
}

bool KeyableWindow::event(QEvent* event) {
    switch (event->type()) {
    case QEvent::Show:
        m_paintedWhole = false;
        break;
    case QEvent::Paint:
        if ((QRegion(rect()) - static_cast<QPaintEvent*>(event)->region()).isEmpty()) {
            m_paintedWhole = true;
            prefaultDrawingMemory();
        }
        break;
    default:
        if (isRepeatedPaintRequest(event, m_paintedWhole))
            return true;
        break;
    }
    return QWidget::event(event);
}

bool KeyableWindow::isRepeatedPaintRequest(const QEvent* event, bool paintedWhole) {
    return event->type() == QEvent::UpdateLater && paintedWhole;
}

// A full-screen window's first paint writes all of its drawing memory, tens of
// megabytes the system supplies page by page as they are written; asked for at once,
// they come much faster. Memory already supplied is not asked for again.
void KeyableWindow::prefaultDrawingMemory() {
    if (testAttribute(Qt::WA_PaintOnScreen))
        return; // the drawing memory stays unused, and untouched it costs nothing
    QBackingStore* store = backingStore();
    const auto* image = store ? dynamic_cast<const QImage*>(store->paintDevice()) : nullptr;
    if (!image || image->constBits() == m_prefaulted)
        return;
    m_prefaulted = image->constBits();
    prefault(const_cast<uchar*>(image->constBits()), std::size_t(image->sizeInBytes()));
}

void KeyableWindow::readyDrawingMemory() {
    // A window kept from the last selection has its memory from its last paint.
    if (testAttribute(Qt::WA_PaintOnScreen) || isVisible() || m_prefaulted)
        return;
    create();
    QBackingStore* store = backingStore();
    if (!store)
        return;
    // The memory Qt paints the window into is made as painting begins. Nothing is
    // painted here, so nothing is shown; the window's first real paint gets the same
    // memory back as long as its size has not changed.
    store->resize(size());
    store->beginPaint(QRegion(rect()));
    prefaultDrawingMemory();
    store->endPaint();
}

void KeyableWindow::setPaintedDirectly(bool direct) {
    setAttribute(Qt::WA_PaintOnScreen, direct);
}

QPaintEngine* KeyableWindow::paintEngine() const {
    return testAttribute(Qt::WA_PaintOnScreen) ? nullptr : QWidget::paintEngine();
}

void KeyableWindow::resizeEvent(QResizeEvent* event) {
    if (m_content)
        m_content->setGeometry(rect());
    QWidget::resizeEvent(event);
}

void KeyableWindow::present(bool withKeyboard) {
    m_wantsKeyboard = withKeyboard;
    // Full screen for both: display servers that let no client place its windows (a
    // Wayland compositor) still give a full-screen window its whole output.
    showFullScreen();
    if (m_screen)
        setGeometry(m_screen->geometry());
    raise();
    if (m_wantsKeyboard)
        takeKeyboard();
}

void KeyableWindow::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    m_awaitingExposure = true;
    if (QWindow* window = windowHandle())
        window->installEventFilter(this);
}

bool KeyableWindow::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() != QEvent::Expose || watched != windowHandle() ||
        !windowHandle()->isExposed())
        return QWidget::eventFilter(watched, event);
    // The window may not be mapped yet when present() asks for the keyboard (the
    // system refuses focus to an unmapped window): ask again when it is first exposed.
    if (m_awaitingExposure) {
        m_awaitingExposure = false;
        if (isVisible() && m_wantsKeyboard)
            takeKeyboard();
    } else if (isVisible() && !testAttribute(Qt::WA_PaintOnScreen)) {
        // A tiling Wayland compositor (sway) settles a new full-screen window's size
        // after its first frame, and shows the window only once it has drawn a frame
        // since, or after a fifth of a second; Qt exposes the window again then, but
        // draws nothing when the size stays the same. A pixel drawn again is a frame.
        (m_content ? m_content.data() : static_cast<QWidget*>(this))->update(QRect(0, 0, 1, 1));
    }
    // Painted directly, the content has a native window of its own over this one, and
    // is painted when that window shows; Qt would paint it whole again for each showing
    // of this one, a whole screen for nothing.
    return testAttribute(Qt::WA_PaintOnScreen) && m_content && m_content->internalWinId();
}

void KeyableWindow::takeKeyboard() {
    // A dialog standing over the editor (its save alert) keeps the keyboard. An overlay
    // always takes it: it covers every window, so keys left with one beneath it would
    // act where the user cannot see.
    if (QWidget* modal = QApplication::activeModalWidget();
        m_kind == Kind::editor && modal && modal != this) {
        modal->activateWindow();
        return;
    }
    activateWindow();
    if (m_content)
        m_content->setFocus(Qt::ActiveWindowFocusReason);
    // Keys go to the grabbing widget itself, so the content takes the grab.
    if (m_kind == Kind::overlay)
        (m_content ? m_content.data() : static_cast<QWidget*>(this))->grabKeyboard();
}

} // namespace kestrova
