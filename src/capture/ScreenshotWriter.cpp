#include "ScreenshotWriter.h"

#include "CaptureError.h"
#include "ClipboardImage.h"
#include "Log.h"
#include "ScreenshotEncoder.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QtConcurrent/QtConcurrentRun>

namespace kestrova {

namespace {

struct Rendered {
    QImage image;
    QByteArray png;
};

} // namespace

ScreenshotWriter::ScreenshotWriter() {
    // Flattening and encoding use both cores already: one screenshot at a time.
    m_pool.setMaxThreadCount(1);
}

ScreenshotWriter::~ScreenshotWriter() {
    waitForDone();
}

void ScreenshotWriter::waitForDone() {
    m_pool.waitForDone();
}

QFuture<Expected<QString>> ScreenshotWriter::save(Render render, Target target) {
    return QtConcurrent::run(&m_pool, [render = std::move(render), target]() -> Expected<QString> {
        const std::optional<QImage> image = render();
        if (!image)
            return CaptureError::make(CaptureError::Kind::cropFailed);
        Expected<QString> saved = save(*image, target);
        if (saved)
            qCDebug(lcCapture) << "saved" << saved.value();
        return saved;
    });
}

QFuture<Status> ScreenshotWriter::copyToClipboard(Render render) {
    QObject* clipboardThread = QGuiApplication::clipboard();
    return QtConcurrent::run(&m_pool,
                             [render = std::move(render)]() -> Expected<Rendered> {
                                 std::optional<QImage> image = render();
                                 if (!image)
                                     return CaptureError::make(CaptureError::Kind::cropFailed);
                                 Expected<QByteArray> png =
                                     ScreenshotEncoder::encode(*image, ImageFormat::png);
                                 if (!png)
                                     return png.error();
                                 return Rendered{std::move(*image), std::move(png.value())};
                             })
        .then(clipboardThread, [](Expected<Rendered> rendered) -> Status {
            if (!rendered)
                return rendered.error();
            ClipboardImage::offer(rendered.value().image, rendered.value().png);
            return std::nullopt;
        });
}

Expected<QString> ScreenshotWriter::save(const QImage& image, const Target& target,
                                         TemporaryFile method) {
    const Expected<QByteArray> bytes = ScreenshotEncoder::encode(image, target.format);
    if (!bytes)
        return bytes.error();
    const Expected<QString> folder = ScreenshotFile::saveDirectory(target.folder);
    if (!folder)
        return folder.error();
    return ScreenshotFile::place(bytes.value(), folder.value(), target.format,
                                 QStringLiteral("Couldn't save into “%1”").arg(folder.value()),
                                 method);
}

} // namespace kestrova
