#include "VirtualKeys.h"

#include <QString>

namespace kestrova {

namespace {

// The one table of keys: positional virtual key code (US layout), X keycode on an evdev
// keyboard, Qt's key where Qt reports one unambiguously (0: none, such as the keypad's,
// which Qt reports as the main keys), the name shown for it (none: "Key " + code), and
// its XKB key name on a US layout (how desktops' shortcut services name keys).
struct Key {
    std::uint32_t virtualKey;
    std::uint32_t xKeycode;
    int qtKey;
    const char* name;
    const char* keysym;
};

// clang-format off
constexpr Key table[] = {
    {0, 38, Qt::Key_A, "A", "a"},
    {1, 39, Qt::Key_S, "S", "s"},
    {2, 40, Qt::Key_D, "D", "d"},
    {3, 41, Qt::Key_F, "F", "f"},
    {4, 43, Qt::Key_H, "H", "h"},
    {5, 42, Qt::Key_G, "G", "g"},
    {6, 52, Qt::Key_Z, "Z", "z"},
    {7, 53, Qt::Key_X, "X", "x"},
    {8, 54, Qt::Key_C, "C", "c"},
    {9, 55, Qt::Key_V, "V", "v"},
    {10, 94, 0, nullptr, "less"},
    {11, 56, Qt::Key_B, "B", "b"},
    {12, 24, Qt::Key_Q, "Q", "q"},
    {13, 25, Qt::Key_W, "W", "w"},
    {14, 26, Qt::Key_E, "E", "e"},
    {15, 27, Qt::Key_R, "R", "r"},
    {16, 29, Qt::Key_Y, "Y", "y"},
    {17, 28, Qt::Key_T, "T", "t"},
    {18, 10, Qt::Key_1, "1", "1"},
    {19, 11, Qt::Key_2, "2", "2"},
    {20, 12, Qt::Key_3, "3", "3"},
    {21, 13, Qt::Key_4, "4", "4"},
    {22, 15, Qt::Key_6, "6", "6"},
    {23, 14, Qt::Key_5, "5", "5"},
    {24, 21, 0, "=", "equal"},
    {25, 18, Qt::Key_9, "9", "9"},
    {26, 16, Qt::Key_7, "7", "7"},
    {27, 20, 0, "-", "minus"},
    {28, 17, Qt::Key_8, "8", "8"},
    {29, 19, Qt::Key_0, "0", "0"},
    {30, 35, 0, "]", "bracketright"},
    {31, 32, Qt::Key_O, "O", "o"},
    {32, 30, Qt::Key_U, "U", "u"},
    {33, 34, 0, "[", "bracketleft"},
    {34, 31, Qt::Key_I, "I", "i"},
    {35, 33, Qt::Key_P, "P", "p"},
    {36, 36, Qt::Key_Return, "↩", "Return"},
    {37, 46, Qt::Key_L, "L", "l"},
    {38, 44, Qt::Key_J, "J", "j"},
    {39, 48, 0, "'", "apostrophe"},
    {40, 45, Qt::Key_K, "K", "k"},
    {41, 47, 0, ";", "semicolon"},
    {42, 51, 0, "\\", "backslash"},
    {43, 59, 0, ",", "comma"},
    {44, 61, 0, "/", "slash"},
    {45, 57, Qt::Key_N, "N", "n"},
    {46, 58, Qt::Key_M, "M", "m"},
    {47, 60, 0, ".", "period"},
    {48, 23, Qt::Key_Tab, "⇥", "Tab"},
    {49, 65, Qt::Key_Space, "Space", "space"},
    {50, 49, 0, "`", "grave"},
    {51, 22, Qt::Key_Backspace, "⌫", "BackSpace"},
    {53, 9, Qt::Key_Escape, nullptr, "Escape"},
    {96, 71, Qt::Key_F5, "F5", "F5"},
    {97, 72, Qt::Key_F6, "F6", "F6"},
    {98, 73, Qt::Key_F7, "F7", "F7"},
    {99, 69, Qt::Key_F3, "F3", "F3"},
    {100, 74, Qt::Key_F8, "F8", "F8"},
    {101, 75, Qt::Key_F9, "F9", "F9"},
    {103, 95, Qt::Key_F11, "F11", "F11"},
    {109, 76, Qt::Key_F10, "F10", "F10"},
    {111, 96, Qt::Key_F12, "F12", "F12"},
    {114, 118, 0, nullptr, "Insert"},
    {115, 110, Qt::Key_Home, "↖", "Home"},
    {116, 112, Qt::Key_PageUp, "⇞", "Prior"},
    {117, 119, Qt::Key_Delete, "⌦", "Delete"},
    {118, 70, Qt::Key_F4, "F4", "F4"},
    {119, 115, Qt::Key_End, "↘", "End"},
    {120, 68, Qt::Key_F2, "F2", "F2"},
    {121, 117, Qt::Key_PageDown, "⇟", "Next"},
    {122, 67, Qt::Key_F1, "F1", "F1"},
    {123, 113, Qt::Key_Left, "←", "Left"},
    {124, 114, Qt::Key_Right, "→", "Right"},
    {125, 116, Qt::Key_Down, "↓", "Down"},
    {126, 111, Qt::Key_Up, "↑", "Up"},
    {65, 91, 0, nullptr, "KP_Decimal"},
    {67, 63, 0, nullptr, "KP_Multiply"},
    {69, 86, 0, nullptr, "KP_Add"},
    {71, 77, 0, nullptr, "Num_Lock"},
    {75, 106, 0, nullptr, "KP_Divide"},
    {76, 104, 0, nullptr, "KP_Enter"},
    {78, 82, 0, nullptr, "KP_Subtract"},
    {81, 125, 0, nullptr, "KP_Equal"},
    {82, 90, 0, nullptr, "KP_0"},
    {83, 87, 0, nullptr, "KP_1"},
    {84, 88, 0, nullptr, "KP_2"},
    {85, 89, 0, nullptr, "KP_3"},
    {86, 83, 0, nullptr, "KP_4"},
    {87, 84, 0, nullptr, "KP_5"},
    {88, 85, 0, nullptr, "KP_6"},
    {89, 79, 0, nullptr, "KP_7"},
    {91, 80, 0, nullptr, "KP_8"},
    {92, 81, 0, nullptr, "KP_9"},
    {105, 191, 0, nullptr, "F13"},
    {107, 192, 0, nullptr, "F14"},
    {113, 193, 0, nullptr, "F15"},
    {106, 194, 0, nullptr, "F16"},
    {64, 195, 0, nullptr, "F17"},
    {79, 196, 0, nullptr, "F18"},
    {80, 197, 0, nullptr, "F19"},
    {90, 198, 0, nullptr, "F20"},
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

std::optional<QString> VirtualKeys::keysymName(std::uint32_t virtualKey) {
    const Key* key = find([&](const Key& k) { return k.virtualKey == virtualKey; });
    return key ? std::optional(QString::fromLatin1(key->keysym)) : std::nullopt;
}

} // namespace kestrova
