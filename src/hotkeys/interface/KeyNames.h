#pragma once

#include <QString>
#include <QStringList>
#include <Qt>

#include <array>
#include <cstdint>
#include <optional>

namespace kestrova {

// Carbon-style modifier bits: the stored and displayed form of a shortcut's modifiers.
namespace carbon {
inline constexpr std::uint32_t cmdKey = 0x100;      // Super
inline constexpr std::uint32_t shiftKey = 0x200;    // Shift
inline constexpr std::uint32_t optionKey = 0x800;   // Alt
inline constexpr std::uint32_t controlKey = 0x1000; // Ctrl
} // namespace carbon

// Display text and conversions of shortcuts. Key codes are positional virtual key
// codes of a US layout; names do not follow the user's layout.
class KeyNames final {
public:
    // The name of a key code, if the table has one (72 keys).
    static std::optional<QString> name(std::uint32_t code);
    // Modifier symbols in the order ⌃⌥⇧⌘, then the key's name or "Key " + code.
    static QString string(std::uint32_t code, std::uint32_t modifiers);
    // The same as Linux desktops write it in their keyboard settings: "Shift+Super+2".
    static QString desktopString(std::uint32_t code, std::uint32_t modifiers);
    // The modifiers that are set, in the order Ctrl, Alt, Shift, Super, each under the
    // name given for it.
    static QStringList modifierNames(std::uint32_t modifiers, const std::array<QString, 4>& names);
    // The Carbon mask of Qt's modifiers (Meta is Super on X11); other flags are ignored.
    static std::uint32_t carbonModifiers(Qt::KeyboardModifiers modifiers);
};

} // namespace kestrova
