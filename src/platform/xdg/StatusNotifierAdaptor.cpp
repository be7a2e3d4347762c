#include "StatusNotifierAdaptor.h"

#include "StatusNotifierItem.h"

#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMetaType>
#include <QIcon>
#include <QImage>
#include <QtEndian>

namespace kestrova {

QDBusArgument& operator<<(QDBusArgument& argument, const TrayPixmap& pixmap) {
    argument.beginStructure();
    argument << pixmap.width << pixmap.height << pixmap.argb;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, TrayPixmap& pixmap) {
    argument.beginStructure();
    argument >> pixmap.width >> pixmap.height >> pixmap.argb;
    argument.endStructure();
    return argument;
}

QDBusArgument& operator<<(QDBusArgument& argument, const TrayToolTip& tip) {
    argument.beginStructure();
    argument << tip.iconName << tip.pixmaps << tip.title << tip.text;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, TrayToolTip& tip) {
    argument.beginStructure();
    argument >> tip.iconName >> tip.pixmaps >> tip.title >> tip.text;
    argument.endStructure();
    return argument;
}

StatusNotifierAdaptor::StatusNotifierAdaptor(StatusNotifierItem* item)
    : QDBusAbstractAdaptor(item), m_item(item), m_pixmaps(pixmapsOf(item->icon())) {
    setAutoRelaySignals(false);
}

void StatusNotifierAdaptor::registerTypes() {
    qDBusRegisterMetaType<TrayPixmap>();
    qDBusRegisterMetaType<TrayPixmaps>();
    qDBusRegisterMetaType<TrayToolTip>();
}

// The tray picks the size it draws at from these; it cannot render the SVG itself.
TrayPixmaps StatusNotifierAdaptor::pixmapsOf(const QIcon& icon) {
    TrayPixmaps pixmaps;
    for (const int size : {16, 22, 24, 32, 48, 64}) {
        const QImage image =
            icon.pixmap(size, size).toImage().convertToFormat(QImage::Format_ARGB32);
        if (image.isNull())
            continue;
        TrayPixmap pixmap{image.width(), image.height(), {}};
        pixmap.argb.resize(qsizetype(image.width()) * image.height() * 4);
        auto* out = reinterpret_cast<quint32*>(pixmap.argb.data());
        for (int y = 0; y < image.height(); ++y) {
            const auto* row = reinterpret_cast<const quint32*>(image.constScanLine(y));
            for (int x = 0; x < image.width(); ++x)
                *out++ = qToBigEndian(row[x]);
        }
        pixmaps.append(pixmap);
    }
    return pixmaps;
}

QString StatusNotifierAdaptor::title() const {
    return m_item->title();
}

TrayToolTip StatusNotifierAdaptor::toolTip() const {
    return {{}, {}, m_item->title(), {}};
}

// Trays that leave the menu to the program ask for it here.
void StatusNotifierAdaptor::ContextMenu(int x, int y) {
    emit m_item->onMenuRequested(QPoint(x, y));
}

// A left click. The icon's one behaviour is its menu, which the tray draws best, at the
// icon; a menu kestrova opened itself would be a window of its own, which on Wayland
// lands in the middle of the screen. Trays that call this although the icon is a menu
// (KDE Plasma) draw the menu when told the icon has nothing else to do.
void StatusNotifierAdaptor::Activate(int, int, const QDBusMessage& call) {
    call.setDelayedReply(true);
    QDBusConnection::sessionBus().send(
        call.createErrorReply(QDBusError::NotSupported,
                              QStringLiteral("kestrova's icon is its menu: the tray shows it.")));
}

// Clicking opens the menu; nothing else is a click's to do.
void StatusNotifierAdaptor::SecondaryActivate(int, int) {}
void StatusNotifierAdaptor::Scroll(int, const QString&) {}

} // namespace kestrova
