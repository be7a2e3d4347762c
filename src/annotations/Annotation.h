#pragma once

#include <QPointF>
#include <QRectF>

class QPainter;

namespace kestrova {

// One mark on the capture. Geometry is in the canvas's y-up points; the caller's
// painter carries the transform (flip, scale, translation) and the clip.
class Annotation {
public:
    virtual ~Annotation() = default;
    virtual void draw(QPainter& painter) const = 0;
    // Everything draw() may touch, in the same coordinates (used to limit repaints).
    virtual QRectF bounds() const = 0;

    // The gesture that draws it: the pointer has moved on to `p` while the button is
    // held. Returns the area whose pixels may have changed.
    virtual QRectF extendTo(QPointF p) = 0;
    // Whether the finished gesture was too small to mean anything (a click), so that
    // the canvas drops it instead of keeping an invisible mark.
    virtual bool isTooSmallToKeep() const { return false; }

protected:
    Annotation() = default;
    Annotation(const Annotation&) = default;
    Annotation& operator=(const Annotation&) = default;
};

} // namespace kestrova
