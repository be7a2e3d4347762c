#pragma once

#include "CanvasRenderer.h"
#include "EditorCanvas.h"

#include <QImage>
#include <QPointer>
#include <QWidget>

#include <functional>
#include <optional>

class QLineEdit;
class QScreen;

namespace kestrova {

// The editor canvas as a widget: converts events into the y-up model, paints through
// the renderer, and hosts the in-place text field.
class EditorView final : public QWidget {
    Q_OBJECT
public:
    // Starts with the stored default colour and thickness for every tool.
    EditorView(QImage image, QScreen* screen, QRectF selection, QWidget* parent = nullptr);
    EditorView(QImage image, ScreenInfo screen, QRectF selection, QColor defaultColor,
               double defaultThickness, QWidget* parent = nullptr);

    EditorCanvas& canvas() { return m_canvas; }
    const EditorCanvas& canvas() const { return m_canvas; }

    Tool activeTool() const { return m_canvas.activeTool(); }
    void setActiveTool(Tool tool) { m_canvas.setActiveTool(tool); }
    QRectF selectionRect() const { return m_canvas.selectionRect(); }
    void setSelectionRect(QRectF rect) { m_canvas.setSelectionRect(rect); }

    ToolSettings settings(Tool tool) const { return m_canvas.settings(tool); }
    void setColor(QColor color, Tool tool) { m_canvas.setColor(color, tool); }
    void setThickness(double thickness, Tool tool) { m_canvas.setThickness(thickness, tool); }
    void setTextSize(double size, Tool tool) { m_canvas.setTextSize(size, tool); }

    void undo();
    // Commits open text first; nothing when the selection does not meet the capture.
    std::optional<QImage> flatten();
    // What flatten() does, as a job that holds copies of all it needs and may run on any
    // thread later. An open text field is committed first.
    std::function<std::optional<QImage>()> flattenJob();

    QLineEdit* activeTextField() const { return m_textField; }

    // Paints the region `dirty` (widget coordinates) of the editor.
    void render(QPainter& painter, const QRectF& dirty) const;

    // The gesture at a model point; each asks for (and returns) the widget area that
    // must be repainted.
    QRect pressAt(QPointF p);
    QRect dragTo(QPointF p);
    QRect releaseAt();

signals:
    void onSelectionChanged();
    // Escape with no text field open: the user leaves the editor.
    void onDismiss();

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QPointF modelPoint(const QMouseEvent* event) const;
    void openTextField();
    void closeTextField();
    bool handleUndoKey(const QKeyEvent* event);
    QRect updateModelRect(const QRectF& modelRect);
    QRect updateAll();

    EditorCanvas m_canvas;
    CanvasRenderer m_renderer;
    QLineEdit* m_textField = nullptr;
};

} // namespace kestrova
