#include "LineIcon.h"

#include <QPainter>
#include <QPixmap>
#include <QSvgRenderer>

#include <cmath>

namespace kestrova {

QIcon LineIcon::make(const QString& symbol, const QColor& tint, int size, double pixelRatio) {
    QSvgRenderer renderer(QStringLiteral(":/icons/%1.svg").arg(symbol));
    const int pixels = static_cast<int>(std::ceil(size * pixelRatio));
    QPixmap pixmap(pixels, pixels);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    renderer.render(&painter);
    painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
    painter.fillRect(pixmap.rect(), tint);
    painter.end();
    pixmap.setDevicePixelRatio(pixelRatio);
    return QIcon(pixmap);
}

} // namespace kestrova
