#include "LineIcon.h"

#include <QIconEngine>
#include <QPainter>
#include <QPixmap>
#include <QPixmapCache>
#include <QSvgRenderer>

namespace kestrova {

namespace {

class LineIconEngine final : public QIconEngine {
public:
    LineIconEngine(QString symbol, QColor tint) : m_symbol(std::move(symbol)), m_tint(tint) {}

    QIconEngine* clone() const override { return new LineIconEngine(m_symbol, m_tint); }
    QString key() const override { return QStringLiteral("kestrova.LineIcon"); }

    // QIcon asks for the size in device pixels of the screen the icon is shown on.
    QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State) override {
        const QString cacheKey = QStringLiteral("kestrova-icon-%1-%2-%3x%4-%5")
                                     .arg(m_symbol)
                                     .arg(m_tint.rgba())
                                     .arg(size.width())
                                     .arg(size.height())
                                     .arg(int(mode));
        QPixmap pixmap;
        if (QPixmapCache::find(cacheKey, &pixmap))
            return pixmap;
        pixmap = QPixmap(size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        QSvgRenderer(QStringLiteral(":/icons/%1.svg").arg(m_symbol)).render(&painter);
        painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
        QColor tint = m_tint;
        if (mode == QIcon::Disabled)
            tint.setAlphaF(tint.alphaF() * 0.4f);
        painter.fillRect(pixmap.rect(), tint);
        painter.end();
        QPixmapCache::insert(cacheKey, pixmap);
        return pixmap;
    }

    void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode,
               QIcon::State state) override {
        const qreal ratio = painter->device() ? painter->device()->devicePixelRatioF() : 1.0;
        QPixmap drawn = pixmap(rect.size() * ratio, mode, state);
        drawn.setDevicePixelRatio(ratio);
        painter->drawPixmap(rect, drawn);
    }

private:
    QString m_symbol;
    QColor m_tint;
};

} // namespace

QIcon LineIcon::make(const QString& symbol, const QColor& tint) {
    return QIcon(new LineIconEngine(symbol, tint));
}

} // namespace kestrova
