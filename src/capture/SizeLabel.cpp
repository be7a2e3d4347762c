#include "SizeLabel.h"

#include "ModelGeometry.h"

#include <QFontMetricsF>
#include <QGuiApplication>
#include <QPainter>
#include <QPainterPath>

namespace kestrova {

QString SizeLabel::text(const QRectF& selection, double scale) {
    return QStringLiteral("%1 × %2")
        .arg(geometry::pixelLength(selection.width(), scale))
        .arg(geometry::pixelLength(selection.height(), scale));
}

QFont SizeLabel::font() {
    QFont f = QGuiApplication::font();
    f.setPixelSize(12);
    f.setWeight(QFont::Medium);
    return f;
}

QSizeF SizeLabel::textSize(const QString& text) {
    const QFontMetricsF metrics(font());
    return {metrics.horizontalAdvance(text), metrics.height()};
}

QPointF SizeLabel::origin(const QRectF& selection, QSizeF textSize, double viewMaxY) {
    const double top = selection.y() + selection.height();
    double y = top + 5;
    if (y + textSize.height() > viewMaxY - 2)
        y = top - textSize.height() - 5;
    return {selection.x(), y};
}

QRectF SizeLabel::background(QPointF origin, QSizeF textSize) {
    return {origin.x() - 5, origin.y() - 2.5, textSize.width() + 10, textSize.height() + 5};
}

QRectF SizeLabel::area(const QRectF& selection, double scale, double viewHeight) {
    const QSizeF size = textSize(text(selection, scale));
    return geometry::toWidget(background(origin(selection, size, viewHeight), size), viewHeight);
}

void SizeLabel::paint(QPainter& painter, const QRectF& selection, double scale, double viewHeight) {
    const QString label = text(selection, scale);
    const QSizeF size = textSize(label);
    const QPointF at = origin(selection, size, viewHeight);

    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath back;
    back.addRoundedRect(geometry::toWidget(background(at, size), viewHeight), 3, 3);
    painter.fillPath(back, QColor::fromRgbF(0, 0, 0, 0.6f));

    const QRectF box = geometry::toWidget(QRectF(at, size), viewHeight);
    painter.setFont(font());
    painter.setPen(Qt::white);
    painter.drawText(QPointF(box.x(), box.y() + QFontMetricsF(font()).ascent()), label);
    painter.restore();
}

} // namespace kestrova
