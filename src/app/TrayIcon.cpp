#include "TrayIcon.h"

#include <QPainter>
#include <QPixmap>
#include <QSvgRenderer>

namespace kestrova {

QIcon TrayIcon::make() {
    QSvgRenderer renderer(QStringLiteral(":/app/camera.viewfinder.svg"));
    QIcon icon;
    for (const int size : {16, 22, 24, 32, 48, 64}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        renderer.render(&painter);
        painter.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

} // namespace kestrova
