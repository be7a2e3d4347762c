#include "SelectionView.h"

#include "CaptureBackend.h"
#include "KeyableWindow.h"
#include "ModelGeometry.h"
#include "SizeLabel.h"
#include "VeilPainter.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPaintEvent>
#include <QScreen>
#include <QWindow>

#include <algorithm>

namespace kestrova {

SelectionView::SelectionView(QScreen* screen, QImage still, QWidget* parent)
    : QWidget(parent), m_owningScreen(screen), m_still(std::move(still)) {
    setCursor(Qt::CrossCursor);
    setFocusPolicy(Qt::StrongFocus);
    setMouseTracking(false);
}

QPointF SelectionView::modelPoint(const QMouseEvent* event) const {
    return geometry::toModel(event->position(), height());
}

bool SelectionView::event(QEvent* event) {
    if (KeyableWindow::isRepeatedPaintRequest(event, m_paintedWhole))
        return true;
    return QWidget::event(event);
}

void SelectionView::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton)
        return;
    const QRectF before = m_model.selectionRect();
    m_model.press(modelPoint(event));
    update(changedArea(before, m_model.selectionRect()));
}

void SelectionView::mouseMoveEvent(QMouseEvent* event) {
    if (!m_model.isDragging())
        return;
    const QRectF before = m_model.selectionRect();
    m_model.drag(modelPoint(event));
    update(changedArea(before, m_model.selectionRect()));
}

QRegion SelectionView::labelArea(const QRectF& selection) const {
    const double scale = m_owningScreen ? m_owningScreen->devicePixelRatio() : 1.0;
    // Two points of slack: antialiased edges spill over.
    return QRegion(
        SizeLabel::area(selection, scale, height()).adjusted(-2, -2, 2, 2).toAlignedRect());
}

QRegion SelectionView::drawnArea(const QRectF& selection) const {
    if (!(selection.width() > 0) || !(selection.height() > 0))
        return {};
    const QRectF hole = geometry::toWidget(selection, height());
    return QRegion(hole.adjusted(-2, -2, 2, 2).toAlignedRect()) + labelArea(selection);
}

QRegion SelectionView::changedArea(const QRectF& before, const QRectF& after) const {
    const QRegion was = drawnArea(before);
    const QRegion is = drawnArea(after);
    if (was.isEmpty() || is.isEmpty())
        return was + is;
    // Inside both holes, away from both frames and labels, the pixels stay as they are.
    const QRectF inner = geometry::toWidget(before, height())
                             .intersected(geometry::toWidget(after, height()))
                             .adjusted(3, 3, -3, -3);
    if (!inner.isValid())
        return was + is;
    const QRegion unchanged = QRegion(inner.toRect()) - labelArea(before) - labelArea(after);
    return (was + is) - unchanged;
}

void SelectionView::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton)
        return;
    if (m_model.release(modelPoint(event)) == SelectionModel::Outcome::finished) {
        emit onFinish(m_model.result());
    } else {
        emit onCancel();
    }
}

void SelectionView::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape)
        emit onCancel();
    // Other keys are swallowed: the overlay passes nothing on to what lies beneath.
}

// Qt repaints a widget whole when it gains or loses the keyboard, for a focus frame
// the overlay does not draw: that would be a second full-screen paint right after the
// first, as the overlay takes the keyboard.
void SelectionView::focusInEvent(QFocusEvent*) {}
void SelectionView::focusOutEvent(QFocusEvent*) {}

void SelectionView::paintThrough(std::shared_ptr<CaptureBackend> backend) {
    m_direct = std::move(backend);
    setAttribute(Qt::WA_PaintOnScreen, m_direct != nullptr);
}

QPaintEngine* SelectionView::paintEngine() const {
    return m_direct ? nullptr : QWidget::paintEngine();
}

void SelectionView::paintEvent(QPaintEvent* event) {
    const bool whole = (QRegion(rect()) - event->region()).isEmpty();
    if (m_direct) {
        // Pixels written into a window not shown yet are dropped; it is painted when it
        // is. And a native window is reported exposed twice as it is mapped (once for
        // the mapping, once by the display server), each asking for the whole screen.
        if (!windowHandle() || !windowHandle()->isExposed())
            return;
        if (whole && m_paintedWhole && m_mappingRepeat) {
            m_mappingRepeat = false;
            return;
        }
        m_mappingRepeat = whole && !m_paintedWhole;
    }
    if (whole)
        m_paintedWhole = true;
    if (m_direct) {
        if (paintDirectly(event->region()))
            return;
        // The display would not take the pixels: from now on the view paints as any
        // other, all of it once more.
        m_direct.reset();
        setAttribute(Qt::WA_PaintOnScreen, false);
        if (auto* window = qobject_cast<KeyableWindow*>(this->window()))
            window->setPaintedDirectly(false);
        m_paintedWhole = false;
        update();
        return;
    }
    QPainter painter(this);
    paint(painter, event->region());
}

bool SelectionView::paintDirectly(const QRegion& region) {
    const double scale = devicePixelRatioF();
    const QRect window(QPoint(0, 0), (QSizeF(size()) * scale).toSize());
    QRegion pixels;
    for (const QRect& part : region)
        pixels += QRectF(QPointF(part.topLeft()) * scale, QSizeF(part.size()) * scale)
                      .toAlignedRect()
                      .intersected(window);
    return m_direct->paintWindow(winId(), pixels, [&](QImage& band, const QRect& area) {
        band.setDevicePixelRatio(scale);
        const QPointF origin = QPointF(area.topLeft()) / scale;
        QPainter painter(&band);
        painter.translate(-origin);
        // All that shows in the band, so that none of its pixels is left as the memory
        // had it.
        paint(painter, QRegion(QRectF(origin, QSizeF(area.size()) / scale).toAlignedRect()));
    });
}

void SelectionView::paint(QPainter& painter, const QRegion& region) {
    const QRectF bounds = rect();
    // The still image is shared with the capture that follows: it is drawn through source
    // rectangles and never changed, which would copy all of it. Only what changed is
    // painted: while dragging that is a thin band along the frame and the label.
    const double stillScale =
        m_still.isNull() ? 1.0 : m_still.width() / std::max(1.0, bounds.width());
    const auto source = [stillScale](const QRectF& r) {
        return QRectF(r.x() * stillScale, r.y() * stillScale, r.width() * stillScale,
                      r.height() * stillScale);
    };
    if (!m_still.isNull()) {
        for (const QRect& area : region) {
            if (!VeilPainter::paint(painter, area, m_still, source(area))) {
                painter.drawImage(QRectF(area), m_still, source(area));
                painter.fillRect(area, VeilPainter::color());
            }
        }
    } else {
        painter.setCompositionMode(QPainter::CompositionMode_Source);
        painter.fillRect(bounds, Qt::transparent);
        painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
        painter.fillRect(bounds, VeilPainter::color());
    }

    const QRectF selection = m_model.selectionRect();
    if (!(selection.width() > 0) || !(selection.height() > 0))
        return;
    const QRectF hole = geometry::toWidget(selection, height());
    if (!m_still.isNull()) {
        for (const QRect& area : region) {
            const QRectF part = hole.intersected(QRectF(area));
            if (!part.isEmpty())
                painter.drawImage(part, m_still, source(part));
        }
    } else {
        painter.setCompositionMode(QPainter::CompositionMode_Clear);
        painter.fillRect(hole, Qt::transparent);
        painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
    }
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(QColor::fromRgbF(1, 1, 1, 0.9f), 1));
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(hole);

    const double scale = m_owningScreen ? m_owningScreen->devicePixelRatio() : 1.0;
    SizeLabel::paint(painter, selection, scale, height());
}

} // namespace kestrova
