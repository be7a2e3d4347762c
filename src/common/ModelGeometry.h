#pragma once

#include <QPointF>
#include <QRectF>
#include <QTransform>

#include <cmath>

namespace kestrova::geometry {

// Model space is y-up (origin bottom-left, in points), widgets are y-down. These are
// the only conversions between the two; keep every other computation in model space.

// Rounds to the nearest whole number, halves away from zero (qRound differs on negatives).
inline double roundAway(double v) {
    return std::round(v);
}

// Pixel length of a point length on a screen with the given scale factor.
inline int pixelLength(double points, double scale) {
    return static_cast<int>(roundAway(points * scale));
}

// Containment as the model needs it: minimum edges in, maximum edges out, and an
// empty (or negative) rectangle contains nothing. QRectF::contains includes both edges.
inline bool contains(const QRectF& r, const QPointF& p) {
    if (!(r.width() > 0) || !(r.height() > 0))
        return false;
    return p.x() >= r.left() && p.x() < r.left() + r.width() && p.y() >= r.top() &&
           p.y() < r.top() + r.height();
}

// A rectangle from two corners, normalised (non-negative width and height).
inline QRectF spanning(const QPointF& a, const QPointF& b) {
    return QRectF(std::min(a.x(), b.x()), std::min(a.y(), b.y()), std::abs(a.x() - b.x()),
                  std::abs(a.y() - b.y()));
}

// Grows (positive d) or shrinks a rectangle on every side; may become negative.
inline QRectF inset(const QRectF& r, double d) {
    return QRectF(r.x() + d, r.y() + d, r.width() - 2 * d, r.height() - 2 * d);
}

// Widget position (y down) -> model point (y up) in a view of the given height.
inline QPointF toModel(const QPointF& widgetPos, double viewHeight) {
    return QPointF(widgetPos.x(), viewHeight - widgetPos.y());
}

// Model point -> widget position.
inline QPointF toWidget(const QPointF& modelPos, double viewHeight) {
    return QPointF(modelPos.x(), viewHeight - modelPos.y());
}

// Model rectangle (origin bottom-left) -> widget rectangle (origin top-left).
inline QRectF toWidget(const QRectF& r, double viewHeight) {
    return QRectF(r.x(), viewHeight - r.y() - r.height(), r.width(), r.height());
}

// The painter transform that lets model-space paths be painted into a y-down device
// of the given height.
inline QTransform flip(double viewHeight) {
    return QTransform(1, 0, 0, -1, 0, viewHeight);
}

} // namespace kestrova::geometry
