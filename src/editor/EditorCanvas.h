#pragma once

#include "Annotation.h"
#include "Tool.h"
#include "ToolSettings.h"

#include <QColor>
#include <QPointF>
#include <QRectF>
#include <QSizeF>
#include <QString>

#include <array>
#include <map>
#include <memory>
#include <optional>
#include <vector>

namespace kestrova {

// Everything the editor canvas knows and does, without widgets: the selection, its
// handles, the gestures that move, resize and draw, text entry and undo. All geometry
// is in the canvas's y-up points.
class EditorCanvas final {
public:
    enum class Handle { topLeft, top, topRight, right, bottomRight, bottom, bottomLeft, left };
    static constexpr std::array<Handle, 8> allHandles{
        Handle::topLeft,     Handle::top,    Handle::topRight,   Handle::right,
        Handle::bottomRight, Handle::bottom, Handle::bottomLeft, Handle::left};

    // Reach of a handle (each way) and width of the border band (each side).
    static constexpr double handleReach = 8;
    static constexpr double borderBand = 6;
    static constexpr double minimumSelection = 10;

    enum class Press { committedText, openedText, resizing, moving, drawing, none };

    // The text being typed in place: where its field stands and how it will look.
    struct OpenText {
        QPointF fieldOrigin;
        double size;
        QColor color;
        QString text;
    };

    EditorCanvas(QSizeF bounds, QRectF selection, QColor defaultColor, double defaultThickness);

    QSizeF bounds() const { return m_bounds; }
    QRectF selectionRect() const { return m_selectionRect; }
    void setSelectionRect(QRectF rect) { m_selectionRect = rect; }

    Tool activeTool() const { return m_activeTool; }
    void setActiveTool(Tool tool) { m_activeTool = tool; }

    ToolSettings settings(Tool tool) const;
    void setColor(QColor color, Tool tool);
    void setThickness(double thickness, Tool tool);
    void setTextSize(double size, Tool tool);

    const std::vector<std::shared_ptr<const Annotation>>& annotations() const {
        return m_annotations;
    }
    // The annotation the current gesture draws, if any.
    std::shared_ptr<Annotation> drawing() const { return m_drawing; }
    // Where the shape being drawn changed with the last press or drag (y-up points).
    QRectF drawingChange() const { return m_drawingChange; }

    static std::array<QPointF, 8> handlePositions(const QRectF& rect);
    std::optional<Handle> handleAt(QPointF p) const;

    // The gesture. Each returns whether the selection changed.
    Press press(QPointF p);
    bool drag(QPointF p);
    void release();

    const std::optional<OpenText>& openText() const { return m_openText; }
    void setPendingText(const QString& text);
    // Ends text entry; adds a text annotation unless the text is blank. Returns
    // whether one was added.
    bool commitText();
    void discardText();

    // Removes the newest annotation; false when there is none.
    bool undo();

private:
    QSizeF m_bounds;
    QRectF m_selectionRect;
    std::vector<std::shared_ptr<const Annotation>> m_annotations;
    Tool m_activeTool = Tool::rectangle;
    std::map<Tool, ToolSettings> m_settingsByTool;

    enum class Mode { none, drawing, resizing, moving };
    Mode m_mode = Mode::none;
    Handle m_handle = Handle::topLeft;
    std::shared_ptr<Annotation> m_drawing;
    QRectF m_drawingChange;
    QPointF m_lastPoint;
    std::optional<OpenText> m_openText;
};

} // namespace kestrova
