#pragma once

#include <QAction>
#include <QDBusArgument>
#include <QDBusVariant>
#include <QList>
#include <QPointer>
#include <QVariantMap>

#include <functional>

namespace kestrova {

// One entry of a menu as the tray receives it: an id, its properties, and its entries.
struct MenuLayoutItem {
    int id = 0;
    QVariantMap properties;
    QList<MenuLayoutItem> children;
};

struct MenuItemProperties {
    int id = 0;
    QVariantMap properties;
};

QDBusArgument& operator<<(QDBusArgument& argument, const MenuLayoutItem& item);
const QDBusArgument& operator>>(const QDBusArgument& argument, MenuLayoutItem& item);
QDBusArgument& operator<<(QDBusArgument& argument, const MenuItemProperties& item);
const QDBusArgument& operator>>(const QDBusArgument& argument, MenuItemProperties& item);

// A flat menu of actions handed to a desktop tray that draws menus itself
// (com.canonical.dbusmenu): the tray opens it at the icon, as the desktop's own menus
// open. Labels, separators, check marks and enabled state follow the actions; a click
// triggers the action once the tray has had its answer.
class DBusMenu final : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "com.canonical.dbusmenu")
    Q_PROPERTY(uint Version READ version)
    Q_PROPERTY(QString TextDirection READ textDirection)
    Q_PROPERTY(QString Status READ status)
    Q_PROPERTY(QStringList IconThemePath READ iconThemePath)

public:
    // `aboutToShow` runs each time the tray is about to open the menu, so that what it
    // shows (a check mark read from the system) is fresh.
    DBusMenu(const QList<QAction*>& actions, std::function<void()> aboutToShow,
             QObject* parent = nullptr);

    static void registerTypes();

    uint version() const { return 3; }
    QString textDirection() const;
    QString status() const { return QStringLiteral("normal"); }
    QStringList iconThemePath() const { return {}; }

    // The protocol's own methods, called by the tray.
public slots:
    uint GetLayout(int parentId, int recursionDepth, const QStringList& propertyNames,
                   kestrova::MenuLayoutItem& layout);
    QList<kestrova::MenuItemProperties> GetGroupProperties(const QList<int>& ids,
                                                           const QStringList& propertyNames);
    QDBusVariant GetProperty(int id, const QString& name);
    void Event(int id, const QString& eventId, const QDBusVariant& data, uint timestamp);
    bool AboutToShow(int id);

signals:
    void LayoutUpdated(uint revision, int parent);

private:
    QVariantMap propertiesOf(int id, const QStringList& names) const;
    QAction* action(int id) const;
    void changed();

    QList<QPointer<QAction>> m_actions;
    std::function<void()> m_aboutToShow;
    uint m_revision = 1;
};

} // namespace kestrova

Q_DECLARE_METATYPE(kestrova::MenuLayoutItem)
Q_DECLARE_METATYPE(kestrova::MenuItemProperties)
