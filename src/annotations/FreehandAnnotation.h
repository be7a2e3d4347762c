#pragma once

#include "Annotation.h"

#include <QColor>
#include <QPointF>
#include <QRectF>

#include <vector>

namespace kestrova {

// A pencil or marker stroke: a polyline painted in one operation, so a translucent
// stroke crossing itself does not get darker where it crosses.
class FreehandAnnotation final : public Annotation {
public:
    FreehandAnnotation(QPointF start, QColor color, double thickness);

    void add(QPointF point);
    // Adds the point: only the newest segment's surroundings change.
    QRectF extendTo(QPointF p) override;
    const std::vector<QPointF>& points() const { return m_points; }
    QColor color() const { return m_color; }
    double thickness() const { return m_thickness; }
    // Bounds of the points, grown by half the stroke width.
    QRectF bounds() const override;

    void draw(QPainter& painter) const override;

private:
    std::vector<QPointF> m_points;
    QColor m_color;
    double m_thickness;
    QRectF m_pointBounds;
};

} // namespace kestrova
