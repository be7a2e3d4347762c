#include "ScreenshotWriter.h"

#include "CaptureError.h"
#include "ClipboardImage.h"
#include "Log.h"
#include "ScreenshotEncoder.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QtConcurrent/QtConcurrentRun>

namespace kestrova {

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
    using Content = ClipboardImage::Content;
    QObject* clipboardThread = QGuiApplication::clipboard();
    QFuture<Expected<Content>> content =
        QtConcurrent::run(&m_pool, [render = std::move(render)]() -> Expected<Content> {
            std::optional<QImage> image = render();
            if (!image)
                return CaptureError::make(CaptureError::Kind::cropFailed);
            Expected<QByteArray> png = ScreenshotEncoder::encode(*image, ImageFormat::png);
            if (!png)
                return png.error();
            return Content{std::move(*image), std::move(png.value())};
        });
    // Where the clipboard goes only to a program with the keyboard, it is claimed now,
    // while the editor still has it; elsewhere it keeps what it had until the pixels
    // are ready, and keeps it if they cannot be made.
    const bool claimNow = ClipboardImage::takenOnlyWithFocus();
    if (claimNow)
        ClipboardImage::promise(content);
    return content.then(clipboardThread, [claimNow](Expected<Content> made) -> Status {
        if (!made)
            return made.error();
        if (!claimNow)
            ClipboardImage::offer(made.value().image, made.value().png);
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
