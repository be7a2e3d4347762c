#include "ToolOptionsController.h"

#include "ModelGeometry.h"
#include "Palette.h"
#include "SwatchButton.h"

#include <QButtonGroup>
#include <QComboBox>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QScreen>

#include <algorithm>

namespace kestrova {

namespace {

constexpr int swatchSize = 22;
constexpr int swatchGap = 6;
constexpr int margin = 12;
constexpr int controlHeight = 24;

// A frame given bottom-up (y-up) inside a container of the given height.
QRect fromBottom(int x, int y, int w, int h, int containerHeight) {
    return geometry::toWidget(QRectF(x, y, w, h), containerHeight).toRect();
}

} // namespace

ToolOptionsController::ToolOptionsController(Tool tool, ToolSettings settings, bool showTextSize,
                                             QWidget* parent)
    : QWidget(parent, Qt::Popup), m_tool(tool), m_settings(settings), m_showTextSize(showTextSize) {
    setAttribute(Qt::WA_DeleteOnClose, false);
    setWindowTitle(QStringLiteral("kestrova tool options"));
    const int n = static_cast<int>(Palette::colors().size());
    const int rowWidth = n * swatchSize + (n - 1) * swatchGap;
    const int width = rowWidth + 2 * margin;
    const int height = 80; // exactly one control row below the swatches
    setFixedSize(width, height);

    int y = margin;
    if (m_showTextSize) {
        m_textSize = new QComboBox(this);
        for (const double size : textSizePresets)
            m_textSize->addItem(QStringLiteral("%1 pt").arg(static_cast<int>(size)));
        m_textSize->setCurrentIndex(presetIndex(textSizePresets, m_settings.textSize).value_or(-1));
        m_textSize->setGeometry(fromBottom(margin, margin, rowWidth, controlHeight, height));
        connect(m_textSize, &QComboBox::activated, this, [this](int i) {
            if (i >= 0 && i < static_cast<int>(textSizePresets.size()))
                emit onTextSize(textSizePresets[static_cast<std::size_t>(i)]);
        });
        y = 46;
    }
    if (m_tool != Tool::text) {
        m_thickness = new QButtonGroup(this);
        m_thickness->setExclusive(true);
        const QStringList labels{QStringLiteral("Thin"), QStringLiteral("Med"),
                                 QStringLiteral("Thick")};
        const int segment = rowWidth / 3;
        const auto selected = presetIndex(thicknessSteps, m_settings.thickness);
        for (int i = 0; i < 3; ++i) {
            auto* button = new QPushButton(labels[i], this);
            button->setCheckable(true);
            button->setFocusPolicy(Qt::NoFocus);
            const int w = i == 2 ? rowWidth - 2 * segment : segment;
            button->setGeometry(fromBottom(margin + i * segment, y, w, controlHeight, height));
            button->setChecked(selected == i);
            m_thickness->addButton(button, i);
        }
        connect(m_thickness, &QButtonGroup::idClicked, this, [this](int i) {
            if (i >= 0 && i < static_cast<int>(thicknessSteps.size()))
                emit onThickness(thicknessSteps[static_cast<std::size_t>(i)]);
        });
        y += controlHeight + 10;
    }
    for (int i = 0; i < n; ++i) {
        auto* swatch = new SwatchButton(Palette::colors()[static_cast<std::size_t>(i)], i,
                                        SwatchButton::Style::round, this);
        swatch->setGeometry(
            fromBottom(margin + (swatchSize + swatchGap) * i, y, swatchSize, swatchSize, height));
        connect(swatch, &QPushButton::clicked, this, [this, swatch] {
            updateSwatchSelection(swatch->color());
            emit onColor(swatch->color());
        });
        m_swatchButtons.push_back(swatch);
    }
    updateSwatchSelection(m_settings.color);
}

void ToolOptionsController::updateSwatchSelection(const QColor& color) {
    m_selectedSwatch = Palette::indexOf(color);
    for (SwatchButton* swatch : m_swatchButtons)
        swatch->setSelected(m_selectedSwatch == swatch->index());
}

void ToolOptionsController::popUp(QWidget* anchor) {
    m_anchor = anchor;
    QPoint at =
        anchor->mapToGlobal(QPoint(anchor->width() / 2 - width() / 2, anchor->height() + 4));
    if (const QScreen* screen = anchor->screen()) {
        const QRect area = screen->geometry();
        if (at.y() + height() > area.bottom())
            at.setY(anchor->mapToGlobal(QPoint(0, 0)).y() - height() - 4);
        at.setX(std::clamp(at.x(), area.left(), std::max(area.left(), area.right() - width())));
    }
    move(at);
    show();
}

void ToolOptionsController::mousePressEvent(QMouseEvent* event) {
    // A press outside closes the popover; on its own anchor the press must not also
    // reach the anchor, which would open the popover again at once.
    if (!rect().contains(event->position().toPoint()) && m_anchor &&
        QRect(m_anchor->mapToGlobal(QPoint(0, 0)), m_anchor->size())
            .contains(event->globalPosition().toPoint()))
        setAttribute(Qt::WA_NoMouseReplay);
    QWidget::mousePressEvent(event);
}

void ToolOptionsController::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), palette().window());
}

} // namespace kestrova
