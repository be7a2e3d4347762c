#include "RectangleAnnotation.h"

#include "StrokeStyle.h"

#include <QPainter>

namespace kestrova {

void RectangleAnnotation::draw(QPainter& painter) const {
    painter.setPen(outlinePen(color(), thickness()));
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(rect());
}

} // namespace kestrova
