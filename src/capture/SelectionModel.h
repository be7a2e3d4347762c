#pragma once

#include <QPointF>
#include <QRectF>

#include <optional>

namespace kestrova {

// The drag that chooses a region on one screen, in that screen's y-up points.
class SelectionModel final {
public:
    enum class Outcome { finished, cancelled };

    // Anything smaller in either direction is taken for a click and cancels.
    static constexpr double minimumSize = 2;

    void press(QPointF p);
    void drag(QPointF p);
    // Every release ends the selection.
    Outcome release(QPointF p);

    QRectF selectionRect() const { return m_selectionRect; }
    QRectF result() const { return m_result; }
    bool isDragging() const { return m_start.has_value(); }

private:
    std::optional<QPointF> m_start;
    QRectF m_selectionRect;
    QRectF m_result;
};

} // namespace kestrova
