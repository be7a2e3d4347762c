#pragma once

#include <QColor>
#include <QPushButton>

namespace kestrova {

// A rounded-square colour button; ringed in the desktop's accent colour when chosen.
class SwatchButton final : public QPushButton {
    Q_OBJECT
public:
    SwatchButton(QColor color, int index, QWidget* parent = nullptr);

    QColor color() const { return m_color; }
    int index() const { return m_index; }
    bool isSelected() const { return m_isSelected; }
    void setSelected(bool selected);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QColor m_color;
    int m_index;
    bool m_isSelected = false;
};

} // namespace kestrova
