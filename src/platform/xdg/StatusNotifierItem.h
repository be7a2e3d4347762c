#pragma once

#include <QIcon>
#include <QList>
#include <QObject>
#include <QPoint>

#include <functional>
#include <memory>

class QAction;

namespace kestrova {

class DBusMenu;

// kestrova's icon in a desktop tray that speaks StatusNotifierItem over D-Bus (KDE
// Plasma, GNOME with its AppIndicator extension, waybar). The tray shows the menu
// itself at the icon on either click, where the desktop's own menus open; a menu
// kestrova opened itself would be a window of its own, which on Wayland no program
// may place.
class StatusNotifierItem final : public QObject {
    Q_OBJECT

public:
    struct Menu {
        QList<QAction*> actions;
        std::function<void()> aboutToShow;
    };

    StatusNotifierItem(const QIcon& icon, const QString& title, Menu menu,
                       QObject* parent = nullptr);
    ~StatusNotifierItem() override;

    // True when such a tray is on the session bus now.
    static bool hostAvailable();
    // Puts the icon in the tray, and again whenever the tray starts anew; false when
    // the session bus would not take it.
    bool show();

    QIcon icon() const { return m_icon; }
    QString title() const { return m_title; }
    QString serviceName() const { return m_service; }

signals:
    // A tray that asks kestrova to open the menu itself, at this point of the screen.
    void onMenuRequested(QPoint at);

private:
    void registerWithTray();

    QIcon m_icon;
    QString m_title;
    QString m_service;
    DBusMenu* m_menu = nullptr;
    bool m_shown = false;
};

} // namespace kestrova
