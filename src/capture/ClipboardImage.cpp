#include "ClipboardImage.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>

namespace kestrova {

namespace {

// Offers PNG only, as the promised bytes: an image (application/x-qt-image) would make
// Qt's Wayland clipboard encode the picture again, with its own slower writer.
class PromisedPng final : public QMimeData {
public:
    explicit PromisedPng(QFuture<Expected<ClipboardImage::Content>> content)
        : m_content(std::move(content)) {}

    QStringList formats() const override { return {QStringLiteral("image/png")}; }
    bool hasFormat(const QString& mimeType) const override {
        return mimeType == QLatin1String("image/png");
    }

protected:
    QVariant retrieveData(const QString& mimeType, QMetaType) const override {
        if (mimeType != QLatin1String("image/png"))
            return {};
        // A paste within moments of the copy waits for the encoder, off this thread.
        m_content.waitForFinished();
        if (m_content.isCanceled() || m_content.resultCount() == 0)
            return {};
        const Expected<ClipboardImage::Content>& content = m_content.result();
        return content ? QVariant(content.value().png) : QVariant();
    }

private:
    mutable QFuture<Expected<ClipboardImage::Content>> m_content; // waiting is not const
};

} // namespace

void ClipboardImage::offer(const QImage& image, const QByteArray& png) {
    // Both ready-made: a paste never waits for an encode, and the clipboard hands out
    // these very bytes as PNG.
    auto* data = new QMimeData;
    data->setData(QStringLiteral("image/png"), png);
    data->setImageData(image);
    QGuiApplication::clipboard()->setMimeData(data);
}

bool ClipboardImage::takenOnlyWithFocus() {
    return QGuiApplication::platformName().startsWith(QLatin1String("wayland"));
}

void ClipboardImage::promise(const QFuture<Expected<Content>>& content) {
    QGuiApplication::clipboard()->setMimeData(new PromisedPng(content));
}

} // namespace kestrova
