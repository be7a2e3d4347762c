#include "SwatchButton.h"

#include <QPainter>
#include <QPainterPath>

namespace kestrova {

SwatchButton::SwatchButton(QColor color, int index, QWidget* parent)
    : SwatchButton(color, index, Style::square, parent) {}

SwatchButton::SwatchButton(QColor color, int index, Style style, QWidget* parent)
    : QPushButton(parent), m_color(color), m_index(index), m_style(style) {
    setFixedSize(style == Style::round ? QSize(22, 22) : QSize(24, 24));
    setFlat(true);
    setFocusPolicy(style == Style::round ? Qt::NoFocus : Qt::StrongFocus);
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
    if (m_style == Style::round) {
        const double border = m_isSelected ? 3 : 1;
        const QColor ring = m_isSelected ? QColor(Qt::white) : QColor::fromRgbF(1, 1, 1, 0.5f);
        QPainterPath circle;
        circle.addEllipse(bounds.adjusted(border / 2, border / 2, -border / 2, -border / 2));
        painter.fillPath(circle, m_color);
        painter.strokePath(circle, QPen(ring, border));
        return;
    }
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
