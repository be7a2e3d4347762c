#include "EllipseAnnotation.h"

#include "StrokeStyle.h"

#include <QPainter>

namespace kestrova {

void EllipseAnnotation::draw(QPainter& painter) const {
    painter.setPen(outlinePen(color(), thickness()));
    painter.setBrush(Qt::NoBrush);
    painter.drawEllipse(rect());
}

} // namespace kestrova
