#pragma once

#include <QString>
#include <Qt>

#include <cstdint>
#include <optional>

namespace kestrova {

// The one table between the stored positional key codes and the keys of a Linux
// keyboard: X keycodes of the evdev layout (the kernel's scan code + 8), which name
// physical positions whatever layout the user has chosen.
class VirtualKeys final {
public:
    static std::optional<std::uint32_t> xKeycode(std::uint32_t virtualKey);
    static std::optional<std::uint32_t> fromXKeycode(std::uint32_t xKeycode);
    // For key events that carry no scan code (offscreen platform): by Qt's key.
    static std::optional<std::uint32_t> fromQtKey(int key);
    // The name shown for a key, if the table has one.
    static std::optional<QString> name(std::uint32_t virtualKey);
    // The key's XKB name on a US layout ("2", "a", "Return", "KP_Enter").
    static std::optional<QString> keysymName(std::uint32_t virtualKey);

    static constexpr std::uint32_t escape = 53;
};

} // namespace kestrova
