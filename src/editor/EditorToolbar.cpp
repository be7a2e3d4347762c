#include "EditorToolbar.h"

#include "EditorView.h"
#include "LineIcon.h"
#include "ModelGeometry.h"
#include "ToolbarLayout.h"
#include "ToolOptionsController.h"

#include <QFrame>
#include <QPainter>
#include <QPainterPath>
#include <QToolButton>

namespace kestrova {

namespace {

const std::array<std::pair<Tool, const char*>, 7> toolOrder{{
    {Tool::rectangle, "rectangle"},
    {Tool::ellipse, "circle"},
    {Tool::arrow, "arrow.up.right"},
    {Tool::line, "line.diagonal"},
    {Tool::pencil, "pencil"},
    {Tool::marker, "highlighter"},
    {Tool::text, "textformat"},
}};

QString buttonStyle(bool highlighted) {
    return QStringLiteral("QToolButton { border: none; border-radius: 6px; background: %1; }")
        .arg(highlighted ? QStringLiteral("rgba(255, 255, 255, 56)")
                         : QStringLiteral("transparent"));
}

} // namespace

EditorToolbar::EditorToolbar(EditorView* editorView)
    : QWidget(editorView), m_editorView(editorView) {
    const QSizeF size = ToolbarLayout::size();
    resize(size.toSize());
    const auto xs = ToolbarLayout::buttonX();
    for (std::size_t i = 0; i < toolOrder.size(); ++i) {
        const Tool tool = toolOrder[i].first;
        QToolButton* button = makeButton(QLatin1String(toolOrder[i].second), xs[i]);
        connect(button, &QToolButton::clicked, this, [this, tool] { toolButtonClicked(tool); });
        m_toolButtons[tool] = button;
    }
    m_undo = makeButton(QStringLiteral("arrow.uturn.backward"), xs[7]);
    connect(m_undo, &QToolButton::clicked, this, [this] {
        closePopover();
        if (m_editorView)
            m_editorView->undo();
    });

    auto* separator = new QFrame(this);
    separator->setGeometry(static_cast<int>(ToolbarLayout::separatorX()), 11, 1, 22);
    separator->setStyleSheet(QStringLiteral("background: rgba(255, 255, 255, 60);"));

    m_copy = makeButton(QStringLiteral("doc.on.doc"), xs[8]);
    m_save = makeButton(QStringLiteral("square.and.arrow.down"), xs[9]);
    m_close = makeButton(QStringLiteral("xmark"), xs[10]);
    for (const auto& [button, report] :
         {std::pair{m_copy, &EditorToolbar::onCopy}, std::pair{m_save, &EditorToolbar::onSave},
          std::pair{m_close, &EditorToolbar::onClose}}) {
        connect(button, &QToolButton::clicked, this, &EditorToolbar::closePopover);
        connect(button, &QToolButton::clicked, this, report);
    }
    highlightActiveTool();
}

QToolButton* EditorToolbar::makeButton(const QString& symbol, double x) {
    auto* button = new QToolButton(this);
    const int side = static_cast<int>(ToolbarLayout::buttonSize);
    // Bottom-up y of 7 inside a 44-point bar is 7 from the top as well.
    button->setGeometry(static_cast<int>(x), static_cast<int>(ToolbarLayout::padding), side, side);
    button->setToolButtonStyle(Qt::ToolButtonIconOnly);
    button->setFocusPolicy(Qt::NoFocus);
    button->setIconSize(QSize(18, 18));
    button->setIcon(LineIcon::make(symbol, Qt::white));
    button->setObjectName(symbol);
    button->setStyleSheet(buttonStyle(false));
    return button;
}

QToolButton* EditorToolbar::toolButton(Tool tool) const {
    const auto it = m_toolButtons.find(tool);
    return it == m_toolButtons.end() ? nullptr : it->second;
}

bool EditorToolbar::isHighlighted(Tool tool) const {
    return m_editorView && m_editorView->activeTool() == tool;
}

ToolOptionsController* EditorToolbar::popover() const {
    return m_popover;
}

void EditorToolbar::highlightActiveTool() {
    for (const auto& [tool, button] : m_toolButtons)
        button->setStyleSheet(buttonStyle(isHighlighted(tool)));
}

void EditorToolbar::toolButtonClicked(Tool tool) {
    if (!m_editorView)
        return;
    if (m_popover && m_popover->isVisible() && m_popoverTool == tool) {
        closePopover();
        return;
    }
    m_editorView->setActiveTool(tool);
    highlightActiveTool();
    showOptionsPopover(tool, m_toolButtons.at(tool));
}

void EditorToolbar::showOptionsPopover(Tool tool, QWidget* anchor) {
    closePopover();
    if (!m_editorView)
        return;
    auto* options =
        new ToolOptionsController(tool, m_editorView->settings(tool), tool == Tool::text, this);
    EditorView* canvas = m_editorView;
    connect(options, &ToolOptionsController::onColor, canvas,
            [canvas, tool](QColor color) { canvas->setColor(color, tool); });
    connect(options, &ToolOptionsController::onThickness, canvas,
            [canvas, tool](double value) { canvas->setThickness(value, tool); });
    connect(options, &ToolOptionsController::onTextSize, canvas,
            [canvas, tool](double value) { canvas->setTextSize(value, tool); });
    m_popover = options;
    m_popoverTool = tool;
    options->popUp(anchor);
}

void EditorToolbar::closePopover() {
    if (m_popover) {
        m_popover->close();
        m_popover->deleteLater();
    }
    m_popover = nullptr;
    m_popoverTool.reset();
}

void EditorToolbar::reposition(const QRectF& selection, const QRectF& bounds) {
    const QSizeF s = size();
    const QPointF at =
        geometry::toWidget(QRectF(ToolbarLayout::reposition(selection, bounds, s), s),
                           bounds.height())
            .topLeft();
    move(static_cast<int>(std::lround(at.x())), static_cast<int>(std::lround(at.y())));
}

void EditorToolbar::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath background;
    background.addRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 10, 10);
    painter.fillPath(background, QColor::fromRgbF(0.12f, 0.12f, 0.12f, 0.96f));
    painter.setPen(QPen(QColor::fromRgbF(1, 1, 1, 0.12f), 1));
    painter.drawPath(background);
}

} // namespace kestrova
