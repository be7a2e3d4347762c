#pragma once

class QPainter;
class QRectF;

namespace kestrova {

// One mark on the capture. Geometry is in the canvas's y-up points; the caller's
// painter carries the transform (flip, scale, translation) and the clip.
class Annotation {
public:
    virtual ~Annotation() = default;
    virtual void draw(QPainter& painter) const = 0;
    // Everything draw() may touch, in the same coordinates (used to limit repaints).
    virtual QRectF bounds() const = 0;

protected:
    Annotation() = default;
    Annotation(const Annotation&) = default;
    Annotation& operator=(const Annotation&) = default;
};

} // namespace kestrova
