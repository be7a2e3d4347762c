#include "ArrowAnnotation.h"

#include "ModelGeometry.h"
#include "StrokeStyle.h"

#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <cmath>
#include <numbers>

namespace kestrova {

ArrowAnnotation::Geometry ArrowAnnotation::geometry() const {
    const QPointF s = start();
    const QPointF e = end();
    const double angle = std::atan2(e.y() - s.y(), e.x() - s.x());
    const double head = std::max(thickness() * 4, 12.0);
    // The shaft stops inside the head so its round cap never pokes past the triangle.
    const QPointF shaftEnd(e.x() - std::cos(angle) * head * 0.6,
                           e.y() - std::sin(angle) * head * 0.6);
    constexpr double halfAngle = std::numbers::pi / 6;
    const QPointF left(e.x() - std::cos(angle - halfAngle) * head,
                       e.y() - std::sin(angle - halfAngle) * head);
    const QPointF right(e.x() - std::cos(angle + halfAngle) * head,
                        e.y() - std::sin(angle + halfAngle) * head);
    return {head, shaftEnd, left, right};
}

QRectF ArrowAnnotation::bounds() const {
    const Geometry g = geometry();
    QRectF r = geometry::spanning(start(), g.shaftEnd);
    for (const QPointF& p : {end(), g.leftCorner, g.rightCorner})
        r = geometry::spanning(QPointF(std::min(r.left(), p.x()), std::min(r.top(), p.y())),
                               QPointF(std::max(r.right(), p.x()), std::max(r.bottom(), p.y())));
    return geometry::inset(r, -(thickness() + 1));
}

void ArrowAnnotation::draw(QPainter& painter) const {
    const Geometry g = geometry();
    QPen pen = roundPen(color(), thickness());
    pen.setJoinStyle(Qt::MiterJoin);
    painter.setPen(pen);
    painter.setBrush(Qt::NoBrush);
    painter.drawLine(start(), g.shaftEnd);

    QPainterPath head;
    head.moveTo(end());
    head.lineTo(g.leftCorner);
    head.lineTo(g.rightCorner);
    head.closeSubpath();
    painter.fillPath(head, color());
}

} // namespace kestrova
