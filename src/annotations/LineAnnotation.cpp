#include "LineAnnotation.h"

#include "StrokeStyle.h"

#include <QPainter>

namespace kestrova {

void LineAnnotation::draw(QPainter& painter) const {
    QPen pen = roundPen(color(), thickness());
    pen.setJoinStyle(Qt::MiterJoin);
    painter.setPen(pen);
    painter.drawLine(start(), end());
}

} // namespace kestrova
