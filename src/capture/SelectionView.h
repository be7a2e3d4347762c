#pragma once

#include "SelectionModel.h"

#include <QImage>
#include <QPointer>
#include <QRegion>
#include <QWidget>

#include <memory>

class QScreen;

namespace kestrova {

class CaptureBackend;

// The content of one overlay window: dims its screen and lets the user drag out a
// rectangle, reported in the screen's y-up points.
class SelectionView final : public QWidget {
    Q_OBJECT
public:
    // `still` is the screen as it looked when the capture began; without it the view
    // is translucent and the live screen shows through.
    SelectionView(QScreen* screen, QImage still, QWidget* parent = nullptr);

    QRectF selectionRect() const { return m_model.selectionRect(); }

    // Has the view write its pixels straight into its window through `backend`, which
    // must paint windows; the window must be painted directly too.
    void paintThrough(std::shared_ptr<CaptureBackend> backend);
    QPaintEngine* paintEngine() const override;

signals:
    // The user let go of a rectangle (screen's y-up points), or pressed Escape.
    void onFinish(QRectF rect);
    void onCancel();

protected:
    bool event(QEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;

private:
    QPointF modelPoint(const QMouseEvent* event) const;
    // Where a selection's label, and its hole, frame and label are drawn (widget
    // coordinates, with slack for antialiasing).
    QRegion labelArea(const QRectF& selection) const;
    QRegion drawnArea(const QRectF& selection) const;
    // What must be painted again when the selection goes from `before` to `after`.
    QRegion changedArea(const QRectF& before, const QRectF& after) const;
    // Paints what lies in `region` (widget coordinates) with `painter`.
    void paint(QPainter& painter, const QRegion& region);
    // The same, straight into the window; false when the display would not have it.
    bool paintDirectly(const QRegion& region);

    QPointer<QScreen> m_owningScreen;
    QImage m_still;
    std::shared_ptr<CaptureBackend> m_direct;
    SelectionModel m_model;
    bool m_paintedWhole = false;
    bool m_mappingRepeat = false; // the second exposure of a mapping is still to come
};

} // namespace kestrova
