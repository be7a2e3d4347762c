#pragma once

#include "Expected.h"
#include "ImageFormat.h"
#include "ScreenshotFile.h"

#include <QByteArray>
#include <QFuture>
#include <QImage>
#include <QString>
#include <QThreadPool>

#include <functional>
#include <optional>

namespace kestrova {

// Delivers finished screenshots in the background: makes their pixels, encodes them
// (ScreenshotEncoder), writes them into the save folder (ScreenshotFile) or puts them
// on the clipboard (ClipboardImage). The work runs on the writer's own threads, so the
// caller (the editor) can be gone at once. The application owns one; destroying it
// waits for the files still being written.
class ScreenshotWriter final {
public:
    // Where and how a screenshot is saved, read from the settings by the caller.
    struct Target {
        ImageFormat format = ImageFormat::png;
        QString folder;
    };
    // Makes the screenshot's pixels (cropping and drawing the annotations); nothing when
    // there is nothing to make. Runs on the writer's threads.
    using Render = std::function<std::optional<QImage>()>;

    using TemporaryFile = ScreenshotFile::TemporaryFile;

    ScreenshotWriter();
    ~ScreenshotWriter();
    ScreenshotWriter(const ScreenshotWriter&) = delete;
    ScreenshotWriter& operator=(const ScreenshotWriter&) = delete;

    // Renders, encodes and writes in the background; the path of the new file.
    QFuture<Expected<QString>> save(Render render, Target target);
    // Makes the screenshot's pixels and PNG bytes in the background, then puts both on
    // the clipboard from the thread that called (the clipboard's own). Until then the
    // clipboard keeps what it had, and so it does when they cannot be made: the failure
    // is the future's result. Nothing waits: a client that pastes gets what is ready.
    QFuture<Status> copyToClipboard(Render render);
    // Blocks until every save and copy started so far has finished.
    void waitForDone();

    // Encodes and writes into the folder (made when missing) at once, on any thread.
    static Expected<QString> save(const QImage& image, const Target& target,
                                  TemporaryFile method = TemporaryFile::unnamed);

private:
    QThreadPool m_pool;
};

} // namespace kestrova
