#include "TextAnnotation.h"

#include <QFontMetricsF>
#include <QGuiApplication>
#include <QPainter>

#include <cmath>

namespace kestrova {

QFont TextAnnotation::font(double size) {
    QFont f = QGuiApplication::font();
    f.setWeight(QFont::Normal);
    f.setPixelSize(std::max(1, static_cast<int>(std::lround(size))));
    return f;
}

QRectF TextAnnotation::bounds() const {
    const QFontMetricsF metrics(font(m_fontSize));
    return QRectF(m_origin.x() - 2, m_origin.y() - 2, metrics.horizontalAdvance(m_text) + 4,
                  metrics.height() + 4);
}

void TextAnnotation::draw(QPainter& painter) const {
    // Painting through the y-up transform would mirror the glyphs: keep its scale and
    // position, drop the flip, and put the line box's bottom on the origin.
    painter.save();
    const QTransform t = painter.worldTransform();
    const QPointF at = t.map(m_origin);
    painter.setWorldTransform(
        QTransform(std::abs(t.m11()), 0, 0, std::abs(t.m22()), at.x(), at.y()));
    const QFont f = font(m_fontSize);
    painter.setFont(f);
    painter.setPen(m_color);
    painter.drawText(QPointF(0, -QFontMetricsF(f).descent()), m_text);
    painter.restore();
}

} // namespace kestrova
