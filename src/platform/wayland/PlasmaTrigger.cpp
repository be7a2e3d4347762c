#include "PlasmaTrigger.h"

#include "KeyNames.h"
#include "PortalShortcut.h"
#include "VirtualKeys.h"

#include <QSettings>
#include <QStandardPaths>

#include <xkbcommon/xkbcommon.h>

#include <memory>

namespace kestrova {

namespace {

template <typename T, void (*Free)(T*)> struct Freer {
    void operator()(T* object) const { Free(object); }
};
using Context = std::unique_ptr<xkb_context, Freer<xkb_context, xkb_context_unref>>;
using Keymap = std::unique_ptr<xkb_keymap, Freer<xkb_keymap, xkb_keymap_unref>>;
using State = std::unique_ptr<xkb_state, Freer<xkb_state, xkb_state_unref>>;

// The symbol the key makes with the given modifiers pressed.
xkb_keysym_t symbol(xkb_keymap* keymap, std::uint32_t xKeycode, xkb_mod_mask_t modifiers) {
    const State state(xkb_state_new(keymap));
    if (!state)
        return XKB_KEY_NoSymbol;
    xkb_state_update_mask(state.get(), modifiers, 0, 0, 0, 0, 0);
    return xkb_state_key_get_one_sym(state.get(), xKeycode);
}

} // namespace

std::optional<QString> PlasmaTrigger::trigger(std::uint32_t virtualKey,
                                              std::uint32_t carbonModifiers, const Layout& layout) {
    const std::optional<QString> plain = PortalShortcut::trigger(virtualKey, carbonModifiers);
    const std::optional<std::uint32_t> xKeycode = VirtualKeys::xKeycode(virtualKey);
    if (!plain || !xKeycode || (carbonModifiers & carbon::shiftKey) == 0)
        return plain;

    const Context context(xkb_context_new(XKB_CONTEXT_NO_FLAGS));
    if (!context)
        return plain;
    const QByteArray name = layout.name.toUtf8();
    const QByteArray variant = layout.variant.toUtf8();
    const xkb_rule_names names{nullptr, nullptr, name.constData(),
                               variant.isEmpty() ? nullptr : variant.constData(), nullptr};
    const Keymap keymap(
        xkb_keymap_new_from_names(context.get(), &names, XKB_KEYMAP_COMPILE_NO_FLAGS));
    if (!keymap)
        return plain;
    const xkb_mod_index_t shift = xkb_keymap_mod_get_index(keymap.get(), XKB_MOD_NAME_SHIFT);
    if (shift == XKB_MOD_INVALID)
        return plain;
    const xkb_keysym_t base = symbol(keymap.get(), *xKeycode, 0);
    const xkb_keysym_t shifted = symbol(keymap.get(), *xKeycode, 1u << shift);
    if (shifted == XKB_KEY_NoSymbol || shifted == base || xkb_keysym_to_upper(base) == shifted)
        return plain;

    char symbolName[64];
    if (xkb_keysym_get_name(shifted, symbolName, sizeof symbolName) <= 0)
        return plain;
    return PortalShortcut::spelling(QString::fromLatin1(symbolName),
                                    carbonModifiers & ~carbon::shiftKey);
}

PlasmaTrigger::Layout PlasmaTrigger::currentLayout() {
    const QString file =
        QStandardPaths::locate(QStandardPaths::GenericConfigLocation, QStringLiteral("kxkbrc"));
    Layout layout;
    if (file.isEmpty())
        return layout;
    // Lists are comma-separated, which the INI reader hands over as lists.
    const QSettings settings(file, QSettings::IniFormat);
    const QString first =
        settings.value(QStringLiteral("Layout/LayoutList")).toStringList().value(0).trimmed();
    if (settings.value(QStringLiteral("Layout/Use"), true).toBool() && !first.isEmpty()) {
        layout.name = first;
        layout.variant =
            settings.value(QStringLiteral("Layout/VariantList")).toStringList().value(0).trimmed();
    }
    return layout;
}

} // namespace kestrova
