#pragma once

#include "Annotation.h"

#include <QColor>
#include <QFont>
#include <QPointF>
#include <QString>

namespace kestrova {

// Text typed in place. `origin` is the lower-left corner of the text's line box.
class TextAnnotation final : public Annotation {
public:
    TextAnnotation(QString text, QPointF origin, double fontSize, QColor color)
        : m_text(std::move(text)), m_origin(origin), m_fontSize(fontSize), m_color(color) {}

    const QString& text() const { return m_text; }
    void setText(QString text) { m_text = std::move(text); }
    QPointF origin() const { return m_origin; }
    double fontSize() const { return m_fontSize; }
    QColor color() const { return m_color; }

    // The regular system font at the given size in points.
    static QFont font(double size);

    void draw(QPainter& painter) const override;
    QRectF bounds() const override;
    // Text is typed into a field and placed whole: dragging changes nothing.
    QRectF extendTo(QPointF) override { return {}; }

private:
    QString m_text;
    QPointF m_origin;
    double m_fontSize;
    QColor m_color;
};

} // namespace kestrova
