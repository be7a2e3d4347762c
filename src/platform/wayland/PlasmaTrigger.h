#pragma once

#include <QString>

#include <cstdint>
#include <optional>

namespace kestrova {

// The global-shortcuts portal's spelling of a combination as KDE Plasma matches it.
// KWin hands a key pressed with Shift to its shortcuts as the symbol Shift makes on
// the user's layout, without Shift: Shift+Super+2 on a US layout arrives as Super+@,
// and a shortcut registered as Shift+Super+2 never fires. Letters are the exception:
// Shift makes the same key of another case, and the shortcut keeps its Shift.
class PlasmaTrigger final {
public:
    struct Layout {
        QString name = QStringLiteral("us"); // an XKB layout, as in "de" or "fr"
        QString variant;
    };

    // The trigger for the key at this position, on `layout`; nothing when the key has
    // no name. Without Shift, or where the layout cannot be read, the plain spelling.
    static std::optional<QString> trigger(std::uint32_t virtualKey, std::uint32_t carbonModifiers,
                                          const Layout& layout);
    // The user's first keyboard layout as Plasma keeps it (kxkbrc), else US.
    static Layout currentLayout();
};

} // namespace kestrova
