#include "SwatchButton.h"

#include <QPainter>
#include <QPainterPath>

namespace kestrova {

SwatchButton::SwatchButton(QColor color, int index, QWidget* parent)
    : QPushButton(parent), m_color(color), m_index(index) {
    setFixedSize(24, 24);
    setFlat(true);
    setCursor(Qt::PointingHandCursor);
}

void SwatchButton::setSelected(bool selected) {
    m_isSelected = selected;
    update();
}

void SwatchButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF bounds = rect();
    QPainterPath swatch;
    swatch.addRoundedRect(bounds.adjusted(3, 3, -3, -3), 4, 4);
    painter.fillPath(swatch, m_color);
    painter.strokePath(swatch, QPen(QColor::fromRgbF(0.5f, 0.5f, 0.5f, 0.5f), 1));
    if (m_isSelected) {
        QPainterPath ring;
        ring.addRoundedRect(bounds.adjusted(1, 1, -1, -1), 5, 5);
        painter.strokePath(ring, QPen(palette().color(QPalette::Highlight), 2));
    }
}

} // namespace kestrova
