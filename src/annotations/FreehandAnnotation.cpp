#include "FreehandAnnotation.h"

#include "ModelGeometry.h"
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

QRectF FreehandAnnotation::extendTo(QPointF p) {
    const QPointF last = m_points.back();
    add(p);
    const double reach = m_thickness / 2 + 2;
    return geometry::inset(geometry::spanning(last, p), -reach);
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
    // Only segments that can reach the painted area are drawn. Each is drawn on its own
    // with round caps, which cover exactly what round joins would: one path of thousands
    // of segments is many times slower to fill.
    const double reach = m_thickness / 2 + 1;
    const QRectF visible = painter.hasClipping()
                               ? painter.clipBoundingRect().adjusted(-reach, -reach, reach, reach)
                               : QRectF();
    std::vector<QLineF> segments;
    QRectF extent;
    for (std::size_t i = 1; i < m_points.size(); ++i) {
        const QRectF span = QRectF(m_points[i - 1], m_points[i]).normalized();
        if (!visible.isNull() && !visible.intersects(span.adjusted(-0.5, -0.5, 0.5, 0.5)))
            continue;
        segments.emplace_back(m_points[i - 1], m_points[i]);
        extent = extent.isNull() ? span : extent.united(span);
    }
    if (segments.empty())
        return;

    QColor opaque = m_color;
    opaque.setAlphaF(1);
    if (m_color.alpha() == 255) {
        painter.setPen(roundPen(opaque, m_thickness));
        painter.drawLines(segments.data(), static_cast<int>(segments.size()));
        return;
    }

    // Translucent: the stroke's coverage is built opaque in a layer of its own, then laid
    // on at the colour's alpha, so that where it crosses itself it is not darker.
    const qreal ratio = painter.device()->devicePixelRatioF();
    const QTransform toDevice = painter.worldTransform() * QTransform::fromScale(ratio, ratio);
    QRectF area = toDevice.mapRect(extent.adjusted(-reach, -reach, reach, reach));
    if (painter.hasClipping())
        area = area.intersected(toDevice.mapRect(painter.clipBoundingRect()));
    const QRect pixels = area.toAlignedRect().intersected(
        QRect(0, 0, painter.device()->width() * ratio, painter.device()->height() * ratio));
    if (pixels.isEmpty())
        return;
    QImage layer(pixels.size(), QImage::Format_ARGB32_Premultiplied);
    layer.fill(Qt::transparent);
    QPainter coverage(&layer);
    coverage.setRenderHints(painter.renderHints());
    coverage.setTransform(toDevice * QTransform::fromTranslate(-pixels.x(), -pixels.y()));
    coverage.setPen(roundPen(opaque, m_thickness));
    coverage.drawLines(segments.data(), static_cast<int>(segments.size()));
    coverage.end();

    painter.save();
    painter.resetTransform();
    painter.setOpacity(painter.opacity() * m_color.alphaF());
    layer.setDevicePixelRatio(ratio);
    painter.drawImage(QPointF(pixels.x() / ratio, pixels.y() / ratio), layer);
    painter.restore();
}

} // namespace kestrova
