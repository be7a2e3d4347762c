#pragma once

#include <QColor>

#include <array>
#include <optional>

namespace kestrova {

// The eight colours every colour choice is made from. Colours handed around the
// program are always entries of this list, so equality with an entry identifies it.
class Palette final {
public:
    static const std::array<QColor, 8>& colors();
    static const QColor& defaultColor();
    // Index of the entry equal to `color`, if it is one.
    static std::optional<int> indexOf(const QColor& color);
};

inline constexpr std::array<double, 3> thicknessSteps{2, 4, 6};
inline constexpr std::array<double, 10> textSizePresets{8, 10, 12, 14, 18, 24, 36, 48, 72, 96};

// The position of a value among presets (exact equality), if it is one of them.
template <std::size_t N>
constexpr std::optional<int> presetIndex(const std::array<double, N>& presets, double value) {
    for (std::size_t i = 0; i < N; ++i) {
        if (presets[i] == value)
            return static_cast<int>(i);
    }
    return std::nullopt;
}

} // namespace kestrova
