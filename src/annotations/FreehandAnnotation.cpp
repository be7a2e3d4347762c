#include "FreehandAnnotation.h"

#include "StrokeStyle.h"

#include <QPainter>
#include <QPainterPath>

namespace kestrova {

FreehandAnnotation::FreehandAnnotation(QPointF start, QColor color, double thickness)
    : m_points{start}, m_color(color), m_thickness(thickness), m_pointBounds(start, start) {}

void FreehandAnnotation::add(QPointF point) {
    m_points.push_back(point);
    // QRectF::united ignores empty rectangles, and a straight stroke has one.
    m_pointBounds.setCoords(
        std::min(m_pointBounds.left(), point.x()), std::min(m_pointBounds.top(), point.y()),
        std::max(m_pointBounds.right(), point.x()), std::max(m_pointBounds.bottom(), point.y()));
}

QRectF FreehandAnnotation::bounds() const {
    const double h = m_thickness / 2 + 1;
    return m_pointBounds.adjusted(-h, -h, h, h);
}

void FreehandAnnotation::draw(QPainter& painter) const {
    if (m_points.empty())
        return;
    if (m_pointBounds.width() == 0 && m_pointBounds.height() == 0) {
        // A stroke that never moved is a round dot as wide as the stroke. The painter
        // drops zero-length segments, caps included, so paint the dot itself.
        QPainterPath dot;
        dot.addEllipse(m_points.front(), m_thickness / 2, m_thickness / 2);
        painter.fillPath(dot, m_color);
        return;
    }
    QPainterPath path(m_points.front());
    for (std::size_t i = 1; i < m_points.size(); ++i)
        path.lineTo(m_points[i]);
    painter.strokePath(path, roundPen(m_color, m_thickness));
}

} // namespace kestrova
