#pragma once

#include "CaptureBackend.h"
#include "Expected.h"
#include "ImageFormat.h"
#include "ScreenInfo.h"

#include <QFuture>
#include <QImage>
#include <QRectF>
#include <QString>

#include <memory>

class QScreen;

namespace kestrova {

class Settings;

// Takes pixels from a display and delivers images out of the application.
class ScreenCapturer final {
public:
    ScreenCapturer() = delete;

    // The service chosen at start-up; until then every capture fails with noDisplay.
    static void setBackend(std::shared_ptr<CaptureBackend> backend);
    static std::shared_ptr<CaptureBackend> backend();

    // The whole display at its pixel size. Runs off the main thread; the result is
    // delivered through the future. Uses the still image taken for the overlay when
    // there is one for this screen.
    static QFuture<Expected<QImage>> captureFullDisplay(QScreen* screen);

    // Still images shown by the overlay while no compositor runs.
    static void freeze(const QScreen* screen, const QImage& image);
    static void thaw();

    // Cuts a rectangle in the screen's y-up points out of a capture of that screen.
    static Expected<QImage> crop(const QImage& capture, const ScreenInfo& screen,
                                 const QRectF& localRect);

    // Offers the image and its PNG bytes ("image/png") on the clipboard.
    static void copyToClipboard(const QImage& image);

    // Writes the image into the save folder; returns the file's path. Never replaces
    // an existing file, and never leaves a partial file under the final name.
    static Expected<QString> save(const QImage& image);
    static Expected<QString> save(const QImage& image, const Settings& settings);

    // What a save needs from the settings, read beforehand so that the save itself can
    // run on any thread.
    struct SaveTarget {
        ImageFormat format;
        QString folder;
    };
    static SaveTarget saveTarget(const Settings& settings);
    static Expected<QString> save(const QImage& image, const SaveTarget& target);
    // Reads the target now, then encodes and writes off the main thread: a 4K PNG takes
    // half a second to encode.
    static QFuture<Expected<QString>> saveInBackground(const QImage& image);

    // The save folder, created with its parents when missing.
    static Expected<QString> saveDirectory();
    static Expected<QString> saveDirectory(const QString& folder);

    static QString timestamp();
    // PNG or JPEG (quality 90) bytes of the image; empty when it cannot be encoded.
    static QByteArray encode(const QImage& image, ImageFormat format);
};

} // namespace kestrova
