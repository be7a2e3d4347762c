#include "VirtualKeys.h"

#include <array>
#include <utility>

namespace kestrova {

namespace {

// (virtual key code, X keycode on an evdev keyboard)
constexpr std::pair<std::uint32_t, std::uint32_t> table[] = {
    {0, 38},
    {1, 39},
    {2, 40},
    {3, 41},
    {4, 43},
    {5, 42},
    {6, 52},
    {7, 53},
    {8, 54},
    {9, 55},
    {10, 94},
    {11, 56},
    {12, 24},
    {13, 25},
    {14, 26},
    {15, 27},
    {16, 29},
    {17, 28},
    {18, 10},
    {19, 11},
    {20, 12},
    {21, 13},
    {22, 15},
    {23, 14},
    {24, 21},
    {25, 18},
    {26, 16},
    {27, 20},
    {28, 17},
    {29, 19},
    {30, 35},
    {31, 32},
    {32, 30},
    {33, 34},
    {34, 31},
    {35, 33},
    {36, 36},
    {37, 46},
    {38, 44},
    {39, 48},
    {40, 45},
    {41, 47},
    {42, 51},
    {43, 59},
    {44, 61},
    {45, 57},
    {46, 58},
    {47, 60},
    {48, 23},
    {49, 65},
    {50, 49},
    {51, 22},
    {53, 9},
    {96, 71},
    {97, 72},
    {98, 73},
    {99, 69},
    {100, 74},
    {101, 75},
    {103, 95},
    {109, 76},
    {111, 96},
    {114, 118},
    {115, 110},
    {116, 112},
    {117, 119},
    {118, 70},
    {119, 115},
    {120, 68},
    {121, 117},
    {122, 67},
    {123, 113},
    {124, 114},
    {125, 116},
    {126, 111},
    // keypad
    {65, 91},
    {67, 63},
    {69, 86},
    {71, 77},
    {75, 106},
    {76, 104},
    {78, 82},
    {81, 125},
    {82, 90},
    {83, 87},
    {84, 88},
    {85, 89},
    {86, 83},
    {87, 84},
    {88, 85},
    {89, 79},
    {91, 80},
    {92, 81},
    // F13 to F20
    {105, 191},
    {107, 192},
    {113, 193},
    {106, 194},
    {64, 195},
    {79, 196},
    {80, 197},
    {90, 198},
};

} // namespace

std::optional<std::uint32_t> VirtualKeys::xKeycode(std::uint32_t virtualKey) {
    for (const auto& [vk, x] : table) {
        if (vk == virtualKey)
            return x;
    }
    return std::nullopt;
}

std::optional<std::uint32_t> VirtualKeys::fromXKeycode(std::uint32_t xKeycode) {
    for (const auto& [vk, x] : table) {
        if (x == xKeycode)
            return vk;
    }
    return std::nullopt;
}

std::optional<std::uint32_t> VirtualKeys::fromQtKey(int key) {
    static constexpr std::array<std::uint32_t, 26> letters{0,  11, 8,  2,  14, 3,  5,  4,  34,
                                                           38, 40, 37, 46, 45, 31, 35, 12, 15,
                                                           1,  17, 32, 9,  13, 7,  16, 6};
    static constexpr std::array<std::uint32_t, 10> digits{29, 18, 19, 20, 21, 23, 22, 26, 28, 25};
    if (key >= Qt::Key_A && key <= Qt::Key_Z)
        return letters[static_cast<std::size_t>(key - Qt::Key_A)];
    if (key >= Qt::Key_0 && key <= Qt::Key_9)
        return digits[static_cast<std::size_t>(key - Qt::Key_0)];
    switch (key) {
    case Qt::Key_Escape:
        return escape;
    case Qt::Key_Space:
        return 49;
    case Qt::Key_Return:
        return 36;
    case Qt::Key_Tab:
        return 48;
    case Qt::Key_Backspace:
        return 51;
    case Qt::Key_Delete:
        return 117;
    case Qt::Key_Home:
        return 115;
    case Qt::Key_End:
        return 119;
    case Qt::Key_PageUp:
        return 116;
    case Qt::Key_PageDown:
        return 121;
    case Qt::Key_Left:
        return 123;
    case Qt::Key_Right:
        return 124;
    case Qt::Key_Down:
        return 125;
    case Qt::Key_Up:
        return 126;
    case Qt::Key_F1:
        return 122;
    case Qt::Key_F2:
        return 120;
    case Qt::Key_F3:
        return 99;
    case Qt::Key_F4:
        return 118;
    case Qt::Key_F5:
        return 96;
    case Qt::Key_F6:
        return 97;
    case Qt::Key_F7:
        return 98;
    case Qt::Key_F8:
        return 100;
    case Qt::Key_F9:
        return 101;
    case Qt::Key_F10:
        return 109;
    case Qt::Key_F11:
        return 103;
    case Qt::Key_F12:
        return 111;
    default:
        return std::nullopt;
    }
}

} // namespace kestrova
