#pragma once

#include <QFont>
#include <QPointF>
#include <QRectF>
#include <QSizeF>
#include <QString>

class QPainter;

namespace kestrova {

// The pixel-size label shown at a selection's top edge, shared by the overlay and the
// editor. Positions are y-up model points.
class SizeLabel final {
public:
    // "W × H" in pixels: points × scale, halves rounded away from zero.
    static QString text(const QRectF& selection, double scale);
    static QFont font();
    static QSizeF textSize(const QString& text);
    // Just above the selection; inside it, below its top edge, when the label would
    // come within 2 points of the view's top.
    static QPointF origin(const QRectF& selection, QSizeF textSize, double viewMaxY);
    static QRectF background(QPointF origin, QSizeF textSize);

    // Where the label of a selection is drawn, in a y-down view of that height.
    static QRectF area(const QRectF& selection, double scale, double viewHeight);

    // Paints background and text into a y-down painter over a view of that height.
    static void paint(QPainter& painter, const QRectF& selection, double scale, double viewHeight);
};

} // namespace kestrova
