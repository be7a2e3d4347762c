#include "KeyNames.h"

#include "VirtualKeys.h"

namespace kestrova {

std::optional<QString> KeyNames::name(std::uint32_t code) {
    return VirtualKeys::name(code);
}

QString KeyNames::string(std::uint32_t code, std::uint32_t modifiers) {
    return modifierNames(modifiers, {QStringLiteral("⌃"), QStringLiteral("⌥"), QStringLiteral("⇧"),
                                     QStringLiteral("⌘")})
               .join(QString()) +
           name(code).value_or(QStringLiteral("Key %1").arg(code));
}

QString KeyNames::desktopString(std::uint32_t code, std::uint32_t modifiers) {
    QStringList parts =
        modifierNames(modifiers, {QStringLiteral("Ctrl"), QStringLiteral("Alt"),
                                  QStringLiteral("Shift"), QStringLiteral("Super")});
    parts << name(code).value_or(QStringLiteral("Key %1").arg(code));
    return parts.join(u'+');
}

QStringList KeyNames::modifierNames(std::uint32_t modifiers, const std::array<QString, 4>& names) {
    QStringList set;
    const std::array<std::uint32_t, 4> order{carbon::controlKey, carbon::optionKey,
                                             carbon::shiftKey, carbon::cmdKey};
    for (std::size_t i = 0; i < order.size(); ++i) {
        if (modifiers & order[i])
            set << names[i];
    }
    return set;
}

std::uint32_t KeyNames::carbonModifiers(Qt::KeyboardModifiers modifiers) {
    std::uint32_t m = 0;
    if (modifiers & Qt::MetaModifier)
        m |= carbon::cmdKey;
    if (modifiers & Qt::AltModifier)
        m |= carbon::optionKey;
    if (modifiers & Qt::ControlModifier)
        m |= carbon::controlKey;
    if (modifiers & Qt::ShiftModifier)
        m |= carbon::shiftKey;
    return m;
}

} // namespace kestrova
