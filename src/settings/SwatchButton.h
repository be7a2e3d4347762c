#pragma once

#include <QColor>
#include <QPushButton>

namespace kestrova {

// A palette colour as a button, in one of two looks: the settings window's rounded
// square, ringed in the desktop's accent colour when chosen, or the tool popover's
// circle, with a thick white border when chosen.
class SwatchButton final : public QPushButton {
    Q_OBJECT
public:
    enum class Style { square, round };

    SwatchButton(QColor color, int index, QWidget* parent = nullptr);
    SwatchButton(QColor color, int index, Style style, QWidget* parent = nullptr);

    QColor color() const { return m_color; }
    int index() const { return m_index; }
    bool isSelected() const { return m_isSelected; }
    void setSelected(bool selected);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QColor m_color;
    int m_index;
    Style m_style = Style::square;
    bool m_isSelected = false;
};

} // namespace kestrova
