#pragma once

#include "Tool.h"

#include <QPointer>
#include <QWidget>

#include <map>
#include <optional>

class QToolButton;

namespace kestrova {

class EditorView;
class ToolOptionsController;

// The dark strip of icon buttons that floats next to the selection: the tools, undo,
// copy, save and close. A tool's button opens that tool's options under it.
class EditorToolbar final : public QWidget {
    Q_OBJECT
public:
    explicit EditorToolbar(EditorView* editorView);

    // Places the toolbar next to the selection (both in the canvas's y-up points).
    void reposition(const QRectF& selection, const QRectF& bounds);

    QToolButton* toolButton(Tool tool) const;
    QToolButton* undoButton() const { return m_undo; }
    QToolButton* copyButton() const { return m_copy; }
    QToolButton* saveButton() const { return m_save; }
    QToolButton* closeButton() const { return m_close; }
    bool isHighlighted(Tool tool) const;
    ToolOptionsController* popover() const;
    std::optional<Tool> popoverTool() const { return m_popoverTool; }

signals:
    void onCopy();
    void onSave();
    void onClose();

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QToolButton* makeButton(const QString& symbol, double x);
    void highlightActiveTool();
    void toolButtonClicked(Tool tool);
    void showOptionsPopover(Tool tool, QWidget* anchor);
    void closePopover();

    QPointer<EditorView> m_editorView;
    std::map<Tool, QToolButton*> m_toolButtons;
    QToolButton* m_undo = nullptr;
    QToolButton* m_copy = nullptr;
    QToolButton* m_save = nullptr;
    QToolButton* m_close = nullptr;
    QPointer<ToolOptionsController> m_popover;
    std::optional<Tool> m_popoverTool;
};

} // namespace kestrova
