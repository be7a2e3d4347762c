#include "ClipboardImage.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>

namespace kestrova {

void ClipboardImage::offer(const QImage& image, const QByteArray& png) {
    // Both ready-made: a paste never waits for an encode, and the clipboard hands out
    // these very bytes as PNG.
    auto* data = new QMimeData;
    data->setData(QStringLiteral("image/png"), png);
    data->setImageData(image);
    QGuiApplication::clipboard()->setMimeData(data);
}

} // namespace kestrova
