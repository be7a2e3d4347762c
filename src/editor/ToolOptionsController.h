#pragma once

#include "Tool.h"
#include "ToolSettings.h"

#include <QPointer>
#include <QWidget>

#include <optional>
#include <vector>

class QButtonGroup;
class QComboBox;
class QPushButton;

namespace kestrova {

class SwatchButton;

// The options popover of one tool: eight colour swatches, and either the thickness
// segments or, for text, the text size menu. Reports choices at once; stores nothing.
class ToolOptionsController final : public QWidget {
    Q_OBJECT
public:
    ToolOptionsController(Tool tool, ToolSettings settings, bool showTextSize,
                          QWidget* parent = nullptr);

    // Shows the popover under `anchor`; a click on the anchor while it is open only
    // closes it (so the toolbar can toggle it).
    void popUp(QWidget* anchor);

    const std::vector<SwatchButton*>& swatchButtons() const { return m_swatchButtons; }
    std::optional<int> selectedSwatch() const { return m_selectedSwatch; }
    QButtonGroup* thicknessGroup() const { return m_thickness; }
    QComboBox* textSizeMenu() const { return m_textSize; }

signals:
    void onColor(QColor color);
    void onThickness(double thickness);
    void onTextSize(double size);

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    void updateSwatchSelection(const QColor& color);

    Tool m_tool;
    ToolSettings m_settings;
    bool m_showTextSize;
    std::vector<SwatchButton*> m_swatchButtons;
    std::optional<int> m_selectedSwatch;
    QButtonGroup* m_thickness = nullptr;
    QComboBox* m_textSize = nullptr;
    QPointer<QWidget> m_anchor;
};

} // namespace kestrova
