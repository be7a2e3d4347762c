#include "DBusMenu.h"

#include <QDBusMetaType>
#include <QGuiApplication>
#include <QKeySequence>

namespace kestrova {

QDBusArgument& operator<<(QDBusArgument& argument, const MenuLayoutItem& item) {
    argument.beginStructure();
    argument << item.id << item.properties;
    argument.beginArray(qMetaTypeId<QDBusVariant>());
    for (const MenuLayoutItem& child : item.children)
        argument << QDBusVariant(QVariant::fromValue(child));
    argument.endArray();
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, MenuLayoutItem& item) {
    argument.beginStructure();
    argument >> item.id >> item.properties;
    item.children.clear();
    argument.beginArray();
    while (!argument.atEnd()) {
        QDBusVariant child;
        argument >> child;
        item.children.append(qdbus_cast<MenuLayoutItem>(child.variant()));
    }
    argument.endArray();
    argument.endStructure();
    return argument;
}

QDBusArgument& operator<<(QDBusArgument& argument, const MenuItemProperties& item) {
    argument.beginStructure();
    argument << item.id << item.properties;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, MenuItemProperties& item) {
    argument.beginStructure();
    argument >> item.id >> item.properties;
    argument.endStructure();
    return argument;
}

namespace {

// Qt marks the mnemonic with '&', the tray with '_'.
QString labelOf(const QString& text) {
    QString label;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c == QLatin1Char('_')) {
            label += QStringLiteral("__");
        } else if (c == QLatin1Char('&')) {
            if (i + 1 < text.size() && text[i + 1] == QLatin1Char('&'))
                label += text[++i];
            else
                label += QLatin1Char('_');
        } else {
            label += c;
        }
    }
    return label;
}

// Key names as trays read them ("Control", "Super"), one list per chord.
QList<QStringList> shortcutOf(const QKeySequence& keys) {
    QList<QStringList> chords;
    for (int i = 0; i < keys.count(); ++i) {
        const QString text = QKeySequence(keys[i]).toString(QKeySequence::PortableText);
        QStringList names = text.split(QLatin1Char('+'), Qt::SkipEmptyParts);
        if (text.endsWith(QLatin1Char('+'))) // the plus key itself, lost to the split
            names.append(QStringLiteral("+"));
        for (QString& name : names) {
            if (name == QLatin1String("Ctrl"))
                name = QStringLiteral("Control");
            else if (name == QLatin1String("Meta"))
                name = QStringLiteral("Super");
        }
        chords.append(names);
    }
    return chords;
}

} // namespace

DBusMenu::DBusMenu(const QList<QAction*>& actions, std::function<void()> aboutToShow,
                   QObject* parent)
    : QObject(parent), m_aboutToShow(std::move(aboutToShow)) {
    registerTypes();
    for (QAction* action : actions) {
        m_actions.append(action);
        connect(action, &QAction::changed, this, &DBusMenu::changed);
    }
}

void DBusMenu::registerTypes() {
    qDBusRegisterMetaType<MenuLayoutItem>();
    qDBusRegisterMetaType<MenuItemProperties>();
    qDBusRegisterMetaType<QList<MenuItemProperties>>();
    qDBusRegisterMetaType<QList<QStringList>>();
}

QString DBusMenu::textDirection() const {
    return QGuiApplication::layoutDirection() == Qt::RightToLeft ? QStringLiteral("rtl")
                                                                 : QStringLiteral("ltr");
}

// Ids are the actions' places from 1 on; 0 is the menu itself.
QAction* DBusMenu::action(int id) const {
    return id >= 1 && id <= m_actions.size() ? m_actions[id - 1].data() : nullptr;
}

QVariantMap DBusMenu::propertiesOf(int id, const QStringList& names) const {
    QVariantMap all;
    if (id == 0) {
        all.insert(QStringLiteral("children-display"), QStringLiteral("submenu"));
    } else if (const QAction* item = action(id)) {
        all.insert(QStringLiteral("visible"), item->isVisible());
        if (item->isSeparator()) {
            all.insert(QStringLiteral("type"), QStringLiteral("separator"));
        } else {
            all.insert(QStringLiteral("label"), labelOf(item->text()));
            all.insert(QStringLiteral("enabled"), item->isEnabled());
            // Shown beside the entry; the tray makes the keys work while the menu is open.
            if (!item->shortcut().isEmpty())
                all.insert(QStringLiteral("shortcut"),
                           QVariant::fromValue(shortcutOf(item->shortcut())));
            if (item->isCheckable()) {
                all.insert(QStringLiteral("toggle-type"), QStringLiteral("checkmark"));
                all.insert(QStringLiteral("toggle-state"), item->isChecked() ? 1 : 0);
            }
        }
    }
    if (names.isEmpty())
        return all;
    QVariantMap asked;
    for (const QString& name : names) {
        if (all.contains(name))
            asked.insert(name, all.value(name));
    }
    return asked;
}

uint DBusMenu::GetLayout(int parentId, int recursionDepth, const QStringList& propertyNames,
                         MenuLayoutItem& layout) {
    layout = MenuLayoutItem{parentId, propertiesOf(parentId, propertyNames), {}};
    // Entries have no entries of their own: only the menu itself has children.
    if (parentId == 0 && recursionDepth != 0) {
        for (int id = 1; id <= m_actions.size(); ++id) {
            if (action(id))
                layout.children.append({id, propertiesOf(id, propertyNames), {}});
        }
    }
    return m_revision;
}

QList<MenuItemProperties> DBusMenu::GetGroupProperties(const QList<int>& ids,
                                                       const QStringList& propertyNames) {
    QList<MenuItemProperties> found;
    for (const int id : ids) {
        if (id == 0 || action(id))
            found.append({id, propertiesOf(id, propertyNames)});
    }
    return found;
}

QDBusVariant DBusMenu::GetProperty(int id, const QString& name) {
    return QDBusVariant(propertiesOf(id, {}).value(name));
}

void DBusMenu::Event(int id, const QString& eventId, const QDBusVariant&, uint) {
    QAction* item = action(id);
    if (!item || eventId != QLatin1String("clicked") || !item->isEnabled())
        return;
    // After the tray has its answer: a capture or a dialog may take a while.
    QMetaObject::invokeMethod(item, &QAction::trigger, Qt::QueuedConnection);
}

bool DBusMenu::AboutToShow(int id) {
    const uint before = m_revision;
    if (id == 0 && m_aboutToShow)
        m_aboutToShow();
    return m_revision != before;
}

void DBusMenu::changed() {
    ++m_revision;
    emit LayoutUpdated(m_revision, 0);
}

} // namespace kestrova
