#include "SelectionView.h"

#include "ModelGeometry.h"
#include "SizeLabel.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>

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

void SelectionView::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton)
        return;
    m_model.press(modelPoint(event));
    update();
}

void SelectionView::mouseMoveEvent(QMouseEvent* event) {
    if (!m_model.isDragging())
        return;
    m_model.drag(modelPoint(event));
    update();
}

void SelectionView::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton)
        return;
    if (m_model.release(modelPoint(event)) == SelectionModel::Outcome::finished) {
        if (onFinish)
            onFinish(m_model.result());
    } else if (onCancel) {
        onCancel();
    }
}

void SelectionView::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape && onCancel)
        onCancel();
    // Other keys are swallowed: the overlay passes nothing on to what lies beneath.
}

void SelectionView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const QRectF bounds = rect();
    // The still image is shared with the capture that follows: it is drawn through source
    // rectangles and never changed, which would copy all of it.
    const double stillScale =
        m_still.isNull() ? 1.0 : m_still.width() / std::max(1.0, bounds.width());
    if (!m_still.isNull()) {
        painter.drawImage(bounds, m_still, QRectF(m_still.rect()));
    } else {
        painter.setCompositionMode(QPainter::CompositionMode_Source);
        painter.fillRect(bounds, Qt::transparent);
        painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
    }
    painter.fillRect(bounds, QColor::fromRgbF(0, 0, 0, 0.35f));

    const QRectF selection = m_model.selectionRect();
    if (!(selection.width() > 0) || !(selection.height() > 0))
        return;
    const QRectF hole = geometry::toWidget(selection, height());
    if (!m_still.isNull()) {
        const double s = stillScale;
        painter.drawImage(hole, m_still,
                          QRectF(hole.x() * s, hole.y() * s, hole.width() * s, hole.height() * s));
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
