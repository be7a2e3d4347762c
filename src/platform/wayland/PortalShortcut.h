#pragma once

#include <QDBusArgument>
#include <QList>
#include <QMetaType>
#include <QString>
#include <QVariantMap>

#include <cstdint>
#include <optional>

namespace kestrova {

// One entry of the global-shortcuts portal's a(sa{sv}): an id and its properties.
struct PortalShortcut {
    QString id;
    QVariantMap properties;

    // The portal's spelling of a combination ("SHIFT+LOGO+2"), if the key has a name.
    static std::optional<QString> trigger(std::uint32_t virtualKey, std::uint32_t carbonModifiers);
    // The same for a key given by its XKB symbol name ("at").
    static QString spelling(const QString& keysym, std::uint32_t carbonModifiers);
    static void registerType();
};
using PortalShortcuts = QList<PortalShortcut>;

QDBusArgument& operator<<(QDBusArgument& argument, const PortalShortcut& shortcut);
const QDBusArgument& operator>>(const QDBusArgument& argument, PortalShortcut& shortcut);

} // namespace kestrova

Q_DECLARE_METATYPE(kestrova::PortalShortcut)
