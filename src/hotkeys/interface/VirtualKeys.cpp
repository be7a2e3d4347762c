#include "VirtualKeys.h"

#include <QString>

namespace kestrova {

namespace {

// The one table of keys: positional virtual key code (US layout), X keycode on an evdev
// keyboard, Qt's key where Qt reports one unambiguously (0: none, such as the keypad's,
// which Qt reports as the main keys), and the name shown for it (none: "Key " + code).
struct Key {
    std::uint32_t virtualKey;
    std::uint32_t xKeycode;
    int qtKey;
    const char* name;
};

// clang-format off
constexpr Key table[] = {
    {0, 38, Qt::Key_A, "A"},
    {1, 39, Qt::Key_S, "S"},
    {2, 40, Qt::Key_D, "D"},
    {3, 41, Qt::Key_F, "F"},
    {4, 43, Qt::Key_H, "H"},
    {5, 42, Qt::Key_G, "G"},
    {6, 52, Qt::Key_Z, "Z"},
    {7, 53, Qt::Key_X, "X"},
    {8, 54, Qt::Key_C, "C"},
    {9, 55, Qt::Key_V, "V"},
    {10, 94, 0, nullptr},
    {11, 56, Qt::Key_B, "B"},
    {12, 24, Qt::Key_Q, "Q"},
    {13, 25, Qt::Key_W, "W"},
    {14, 26, Qt::Key_E, "E"},
    {15, 27, Qt::Key_R, "R"},
    {16, 29, Qt::Key_Y, "Y"},
    {17, 28, Qt::Key_T, "T"},
    {18, 10, Qt::Key_1, "1"},
    {19, 11, Qt::Key_2, "2"},
    {20, 12, Qt::Key_3, "3"},
    {21, 13, Qt::Key_4, "4"},
    {22, 15, Qt::Key_6, "6"},
    {23, 14, Qt::Key_5, "5"},
    {24, 21, 0, "="},
    {25, 18, Qt::Key_9, "9"},
    {26, 16, Qt::Key_7, "7"},
    {27, 20, 0, "-"},
    {28, 17, Qt::Key_8, "8"},
    {29, 19, Qt::Key_0, "0"},
    {30, 35, 0, "]"},
    {31, 32, Qt::Key_O, "O"},
    {32, 30, Qt::Key_U, "U"},
    {33, 34, 0, "["},
    {34, 31, Qt::Key_I, "I"},
    {35, 33, Qt::Key_P, "P"},
    {36, 36, Qt::Key_Return, "↩"},
    {37, 46, Qt::Key_L, "L"},
    {38, 44, Qt::Key_J, "J"},
    {39, 48, 0, "'"},
    {40, 45, Qt::Key_K, "K"},
    {41, 47, 0, ";"},
    {42, 51, 0, "\\"},
    {43, 59, 0, ","},
    {44, 61, 0, "/"},
    {45, 57, Qt::Key_N, "N"},
    {46, 58, Qt::Key_M, "M"},
    {47, 60, 0, "."},
    {48, 23, Qt::Key_Tab, "⇥"},
    {49, 65, Qt::Key_Space, "Space"},
    {50, 49, 0, "`"},
    {51, 22, Qt::Key_Backspace, "⌫"},
    {53, 9, Qt::Key_Escape, nullptr},
    {96, 71, Qt::Key_F5, "F5"},
    {97, 72, Qt::Key_F6, "F6"},
    {98, 73, Qt::Key_F7, "F7"},
    {99, 69, Qt::Key_F3, "F3"},
    {100, 74, Qt::Key_F8, "F8"},
    {101, 75, Qt::Key_F9, "F9"},
    {103, 95, Qt::Key_F11, "F11"},
    {109, 76, Qt::Key_F10, "F10"},
    {111, 96, Qt::Key_F12, "F12"},
    {114, 118, 0, nullptr},
    {115, 110, Qt::Key_Home, "↖"},
    {116, 112, Qt::Key_PageUp, "⇞"},
    {117, 119, Qt::Key_Delete, "⌦"},
    {118, 70, Qt::Key_F4, "F4"},
    {119, 115, Qt::Key_End, "↘"},
    {120, 68, Qt::Key_F2, "F2"},
    {121, 117, Qt::Key_PageDown, "⇟"},
    {122, 67, Qt::Key_F1, "F1"},
    {123, 113, Qt::Key_Left, "←"},
    {124, 114, Qt::Key_Right, "→"},
    {125, 116, Qt::Key_Down, "↓"},
    {126, 111, Qt::Key_Up, "↑"},
    {65, 91, 0, nullptr},
    {67, 63, 0, nullptr},
    {69, 86, 0, nullptr},
    {71, 77, 0, nullptr},
    {75, 106, 0, nullptr},
    {76, 104, 0, nullptr},
    {78, 82, 0, nullptr},
    {81, 125, 0, nullptr},
    {82, 90, 0, nullptr},
    {83, 87, 0, nullptr},
    {84, 88, 0, nullptr},
    {85, 89, 0, nullptr},
    {86, 83, 0, nullptr},
    {87, 84, 0, nullptr},
    {88, 85, 0, nullptr},
    {89, 79, 0, nullptr},
    {91, 80, 0, nullptr},
    {92, 81, 0, nullptr},
    {105, 191, 0, nullptr},
    {107, 192, 0, nullptr},
    {113, 193, 0, nullptr},
    {106, 194, 0, nullptr},
    {64, 195, 0, nullptr},
    {79, 196, 0, nullptr},
    {80, 197, 0, nullptr},
    {90, 198, 0, nullptr},
};
// clang-format on

const Key* find(const auto& matches) {
    for (const Key& key : table) {
        if (matches(key))
            return &key;
    }
    return nullptr;
}

} // namespace

std::optional<std::uint32_t> VirtualKeys::xKeycode(std::uint32_t virtualKey) {
    const Key* key = find([&](const Key& k) { return k.virtualKey == virtualKey; });
    return key ? std::optional(key->xKeycode) : std::nullopt;
}

std::optional<std::uint32_t> VirtualKeys::fromXKeycode(std::uint32_t xKeycode) {
    const Key* key = find([&](const Key& k) { return k.xKeycode == xKeycode; });
    return key ? std::optional(key->virtualKey) : std::nullopt;
}

std::optional<std::uint32_t> VirtualKeys::fromQtKey(int qtKey) {
    const Key* key = find([&](const Key& k) { return k.qtKey != 0 && k.qtKey == qtKey; });
    return key ? std::optional(key->virtualKey) : std::nullopt;
}

std::optional<QString> VirtualKeys::name(std::uint32_t virtualKey) {
    const Key* key = find([&](const Key& k) { return k.virtualKey == virtualKey; });
    if (!key || !key->name)
        return std::nullopt;
    return QString::fromUtf8(key->name);
}

} // namespace kestrova
