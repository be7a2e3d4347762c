#pragma once

#include "Annotation.h"

#include <QColor>
#include <QPointF>
#include <QRectF>

namespace kestrova {

// A shape defined by where the press began and where the pointer is now.
class TwoPointAnnotation : public Annotation {
public:
    TwoPointAnnotation(QPointF start, QPointF end, QColor color, double thickness)
        : m_start(start), m_end(end), m_color(color), m_thickness(thickness) {}

    QPointF start() const { return m_start; }
    QPointF end() const { return m_end; }
    void setEnd(QPointF end) { m_end = end; }
    QColor color() const { return m_color; }
    double thickness() const { return m_thickness; }

    // The normalised rectangle between start and end.
    QRectF rect() const;

    void draw(QPainter&) const override {}
    QRectF bounds() const override;

private:
    QPointF m_start;
    QPointF m_end;
    QColor m_color;
    double m_thickness;
};

} // namespace kestrova
