#include "KeyNames.h"

#include "VirtualKeys.h"

#include <QStringList>

namespace kestrova {

std::optional<QString> KeyNames::name(std::uint32_t code) {
    return VirtualKeys::name(code);
}

QString KeyNames::string(std::uint32_t code, std::uint32_t modifiers) {
    QString s;
    if (modifiers & carbon::controlKey)
        s += QStringLiteral("⌃");
    if (modifiers & carbon::optionKey)
        s += QStringLiteral("⌥");
    if (modifiers & carbon::shiftKey)
        s += QStringLiteral("⇧");
    if (modifiers & carbon::cmdKey)
        s += QStringLiteral("⌘");
    s += name(code).value_or(QStringLiteral("Key %1").arg(code));
    return s;
}

QString KeyNames::desktopString(std::uint32_t code, std::uint32_t modifiers) {
    QStringList parts;
    if (modifiers & carbon::controlKey)
        parts << QStringLiteral("Ctrl");
    if (modifiers & carbon::optionKey)
        parts << QStringLiteral("Alt");
    if (modifiers & carbon::shiftKey)
        parts << QStringLiteral("Shift");
    if (modifiers & carbon::cmdKey)
        parts << QStringLiteral("Super");
    parts << name(code).value_or(QStringLiteral("Key %1").arg(code));
    return parts.join(u'+');
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
