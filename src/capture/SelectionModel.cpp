#include "SelectionModel.h"

#include "ModelGeometry.h"

namespace kestrova {

void SelectionModel::press(QPointF p) {
    m_start = p;
    m_selectionRect = QRectF();
}

void SelectionModel::drag(QPointF p) {
    if (m_start)
        m_selectionRect = geometry::spanning(*m_start, p);
}

SelectionModel::Outcome SelectionModel::release(QPointF p) {
    if (!m_start)
        return Outcome::cancelled;
    const QRectF r = geometry::spanning(*m_start, p);
    m_start.reset();
    if (r.width() >= minimumSize && r.height() >= minimumSize) {
        m_result = r;
        return Outcome::finished;
    }
    return Outcome::cancelled;
}

} // namespace kestrova
