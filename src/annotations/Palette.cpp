#include "Palette.h"

namespace kestrova {

const std::array<QColor, 8>& Palette::colors() {
    static const std::array<QColor, 8> colors{
        QColor::fromRgbF(0.90f, 0.20f, 0.18f), QColor::fromRgbF(0.98f, 0.58f, 0.10f),
        QColor::fromRgbF(0.98f, 0.82f, 0.12f), QColor::fromRgbF(0.18f, 0.70f, 0.28f),
        QColor::fromRgbF(0.13f, 0.45f, 0.95f), QColor::fromRgbF(0.60f, 0.25f, 0.85f),
        QColor::fromRgbF(0.00f, 0.00f, 0.00f), QColor::fromRgbF(1.00f, 1.00f, 1.00f),
    };
    return colors;
}

const QColor& Palette::defaultColor() {
    return colors()[0];
}

std::optional<int> Palette::indexOf(const QColor& color) {
    const auto& all = colors();
    for (std::size_t i = 0; i < all.size(); ++i) {
        if (all[i] == color)
            return static_cast<int>(i);
    }
    return std::nullopt;
}

} // namespace kestrova
