#include "EditorCanvas.h"

#include "AnnotationFactory.h"
#include "ModelGeometry.h"
#include "TextAnnotation.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace kestrova {

namespace {

// For each handle, in the order of allHandles: the vertical edge it moves (−1 left,
// +1 right, 0 none) and the horizontal edge (−1 bottom, +1 top, 0 none).
constexpr std::array<int, 8> horizontalEdge{-1, 0, 1, 1, 1, 0, -1, -1};
constexpr std::array<int, 8> verticalEdge{1, 1, 1, 0, -1, -1, -1, 0};

} // namespace

EditorCanvas::EditorCanvas(QSizeF bounds, QRectF selection, QColor defaultColor,
                           double defaultThickness)
    : m_bounds(bounds), m_selectionRect(selection) {
    for (const Tool tool : allTools)
        m_settingsByTool[tool] = ToolSettings{defaultColor, defaultThickness, 24};
}

ToolSettings EditorCanvas::settings(Tool tool) const {
    const auto it = m_settingsByTool.find(tool);
    return it != m_settingsByTool.end() ? it->second : ToolSettings{};
}

void EditorCanvas::setColor(QColor color, Tool tool) {
    if (auto it = m_settingsByTool.find(tool); it != m_settingsByTool.end())
        it->second.color = color;
}

void EditorCanvas::setThickness(double thickness, Tool tool) {
    if (auto it = m_settingsByTool.find(tool); it != m_settingsByTool.end())
        it->second.thickness = thickness;
}

void EditorCanvas::setTextSize(double size, Tool tool) {
    if (auto it = m_settingsByTool.find(tool); it != m_settingsByTool.end())
        it->second.textSize = size;
}

std::array<QPointF, 8> EditorCanvas::handlePositions(const QRectF& r) {
    const double minX = r.left(), maxX = r.left() + r.width();
    const double minY = r.top(), maxY = r.top() + r.height();
    const double midX = (minX + maxX) / 2, midY = (minY + maxY) / 2;
    return {QPointF(minX, maxY), QPointF(midX, maxY), QPointF(maxX, maxY), QPointF(maxX, midY),
            QPointF(maxX, minY), QPointF(midX, minY), QPointF(minX, minY), QPointF(minX, midY)};
}

std::optional<EditorCanvas::Handle> EditorCanvas::handleAt(QPointF p) const {
    const auto points = handlePositions(m_selectionRect);
    for (const Handle handle : allHandles) {
        const QPointF h = points[static_cast<std::size_t>(handle)];
        if (std::abs(p.x() - h.x()) <= handleReach && std::abs(p.y() - h.y()) <= handleReach)
            return handle;
    }
    return std::nullopt;
}

EditorCanvas::Press EditorCanvas::press(QPointF p) {
    if (m_openText) {
        commitText();
        return Press::committedText;
    }
    m_lastPoint = p;
    if (const auto handle = handleAt(p)) {
        m_mode = Mode::resizing;
        m_handle = *handle;
        return Press::resizing;
    }
    const QRectF outer = geometry::inset(m_selectionRect, -borderBand);
    const QRectF inner = geometry::inset(m_selectionRect, borderBand);
    if (geometry::contains(outer, p) && !geometry::contains(inner, p)) {
        m_mode = Mode::moving;
        return Press::moving;
    }
    if (!geometry::contains(m_selectionRect, p)) {
        m_mode = Mode::none;
        return Press::none;
    }

    const ToolSettings s = settings(m_activeTool);
    if (m_activeTool == Tool::text) {
        m_openText = OpenText{p, s.textSize, s.color, QString()};
        m_mode = Mode::none;
        return Press::openedText;
    }
    m_drawing = AnnotationFactory::create(m_activeTool, p, s);
    m_drawingChange = m_drawing->bounds();
    m_annotations.push_back(m_drawing);
    m_mode = Mode::drawing;
    return Press::drawing;
}

bool EditorCanvas::drag(QPointF p) {
    switch (m_mode) {
    case Mode::none:
        return false;
    case Mode::drawing:
        m_drawingChange = m_drawing->extendTo(p);
        return false;
    case Mode::resizing: {
        const double x = std::min(std::max(p.x(), 0.0), m_bounds.width());
        const double y = std::min(std::max(p.y(), 0.0), m_bounds.height());
        const QRectF r = m_selectionRect;
        double minX = r.left(), maxX = r.left() + r.width();
        double minY = r.top(), maxY = r.top() + r.height();
        // The edges a handle drags follow from where it sits on the rectangle.
        const auto i = static_cast<std::size_t>(m_handle);
        if (horizontalEdge[i] < 0)
            minX = x;
        else if (horizontalEdge[i] > 0)
            maxX = x;
        if (verticalEdge[i] < 0)
            minY = y;
        else if (verticalEdge[i] > 0)
            maxY = y;
        // Normalised, never under the minimum, and wholly on the screen: a selection
        // squeezed against an edge grows back inwards, not past the edge.
        const auto span = [](double a, double b, double limit) {
            const double size = std::min(std::max(std::abs(b - a), minimumSelection), limit);
            return std::pair{std::clamp(std::min(a, b), 0.0, limit - size), size};
        };
        const auto [left, width] = span(minX, maxX, m_bounds.width());
        const auto [bottom, height] = span(minY, maxY, m_bounds.height());
        m_selectionRect = QRectF(left, bottom, width, height);
        return true;
    }
    case Mode::moving: {
        QRectF r = m_selectionRect.translated(p.x() - m_lastPoint.x(), p.y() - m_lastPoint.y());
        const double x = std::min(std::max(r.x(), 0.0), m_bounds.width() - r.width());
        const double y = std::min(std::max(r.y(), 0.0), m_bounds.height() - r.height());
        r.moveTo(x, y);
        m_selectionRect = r;
        // The pointer, not the clamped selection: turning back moves it again at once.
        m_lastPoint = p;
        return true;
    }
    }
    return false;
}

void EditorCanvas::release() {
    if (m_mode == Mode::drawing && m_drawing->isTooSmallToKeep() && !m_annotations.empty() &&
        m_annotations.back() == m_drawing)
        m_annotations.pop_back();
    m_drawing.reset();
    m_mode = Mode::none;
}

void EditorCanvas::setPendingText(const QString& text) {
    if (m_openText)
        m_openText->text = text;
}

bool EditorCanvas::commitText() {
    if (!m_openText)
        return false;
    const OpenText open = *m_openText;
    m_openText.reset();
    if (open.text.trimmed().isEmpty())
        return false;
    m_annotations.push_back(std::make_shared<TextAnnotation>(
        open.text, open.fieldOrigin + QPointF(2, 3), open.size, open.color));
    return true;
}

void EditorCanvas::discardText() {
    m_openText.reset();
}

bool EditorCanvas::undo() {
    if (m_annotations.empty())
        return false;
    m_annotations.pop_back();
    return true;
}

} // namespace kestrova
