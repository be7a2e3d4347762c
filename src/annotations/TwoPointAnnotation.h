#pragma once

#include "Annotation.h"

#include <QColor>
#include <QPointF>
#include <QRectF>

namespace kestrova {

// A shape defined by where the press began and where the pointer is now. Each shape
// draws itself; this base holds what they share.
class TwoPointAnnotation : public Annotation {
public:
    // Shapes whose two points lie closer than this (in points) are clicks, not shapes.
    static constexpr double minimumLength = 3;

    TwoPointAnnotation(QPointF start, QPointF end, QColor color, double thickness)
        : m_start(start), m_end(end), m_color(color), m_thickness(thickness) {}

    QPointF start() const { return m_start; }
    QPointF end() const { return m_end; }
    QColor color() const { return m_color; }
    double thickness() const { return m_thickness; }

    // The normalised rectangle between start and end.
    QRectF rect() const;

    QRectF bounds() const override;
    // Moves the end: the shape may have changed anywhere it was or now is.
    QRectF extendTo(QPointF p) override;
    bool isTooSmallToKeep() const override;

private:
    QPointF m_start;
    QPointF m_end;
    QColor m_color;
    double m_thickness;
};

} // namespace kestrova
