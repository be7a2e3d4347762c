#include "PortalShortcut.h"

#include "KeyNames.h"
#include "VirtualKeys.h"

#include <QDBusMetaType>

namespace kestrova {

std::optional<QString> PortalShortcut::trigger(std::uint32_t virtualKey,
                                               std::uint32_t carbonModifiers) {
    const std::optional<QString> key = VirtualKeys::keysymName(virtualKey);
    if (!key)
        return std::nullopt;
    return spelling(*key, carbonModifiers);
}

QString PortalShortcut::spelling(const QString& keysym, std::uint32_t carbonModifiers) {
    QStringList parts =
        KeyNames::modifierNames(carbonModifiers, {QStringLiteral("CTRL"), QStringLiteral("ALT"),
                                                  QStringLiteral("SHIFT"), QStringLiteral("LOGO")});
    parts << keysym;
    return parts.join(u'+');
}

void PortalShortcut::registerType() {
    qDBusRegisterMetaType<PortalShortcut>();
    qDBusRegisterMetaType<PortalShortcuts>();
}

QDBusArgument& operator<<(QDBusArgument& argument, const PortalShortcut& shortcut) {
    argument.beginStructure();
    argument << shortcut.id << shortcut.properties;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, PortalShortcut& shortcut) {
    argument.beginStructure();
    argument >> shortcut.id >> shortcut.properties;
    argument.endStructure();
    return argument;
}

} // namespace kestrova
