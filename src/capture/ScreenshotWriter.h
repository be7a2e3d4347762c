#pragma once

#include "Expected.h"
#include "ImageFormat.h"

#include <QByteArray>
#include <QFuture>
#include <QImage>
#include <QString>
#include <QThreadPool>

#include <functional>
#include <optional>

namespace kestrova {

// Delivers finished screenshots: makes their pixels, encodes them, writes them into the
// save folder under a new name without ever replacing or half-writing a file, and
// puts them on the clipboard. The work runs on the writer's own threads, so the
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

    enum class TemporaryFile {
        unnamed, // O_TMPFILE, linked under its name when complete (a named file where the
                 // file system has no unnamed ones)
        named,   // a hidden file in the folder, renamed when complete
    };

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
    // The screenshot and its PNG bytes on the clipboard, at once (on the GUI thread).
    static void offerOnClipboard(const QImage& image, const QByteArray& png);
    // Blocks until every save and copy started so far has finished.
    void waitForDone();

    // The steps, each usable on any thread.
    static Expected<QString> save(const QImage& image, const Target& target,
                                  TemporaryFile method = TemporaryFile::unnamed);
    // PNG (kestrova's fast encoder) or JPEG at quality 90.
    static Expected<QByteArray> encode(const QImage& image, ImageFormat format);
    // The folder, created with its parents when missing.
    static Expected<QString> saveDirectory(const QString& folder);
    static QString timestamp();

private:
    QThreadPool m_pool;
};

} // namespace kestrova
