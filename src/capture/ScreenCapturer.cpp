#include "ScreenCapturer.h"

#include "CaptureError.h"
#include "ImageBuffer.h"
#include "ModelGeometry.h"
#include "Settings.h"

#include <QBuffer>
#include <QClipboard>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QImageWriter>
#include <QMimeData>
#include <QPointer>
#include <QScreen>
#include <QtConcurrent/QtConcurrentRun>
#include <QTemporaryFile>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrova {

namespace {

constexpr int pointsPerMeter = 2835; // 72 per inch

std::shared_ptr<CaptureBackend>& currentBackend() {
    static std::shared_ptr<CaptureBackend> backend;
    return backend;
}

std::map<QString, QImage>& frozenImages() {
    static std::map<QString, QImage> images;
    return images;
}

// Offers the image at once and its PNG bytes only when a client asks for them: encoding
// a 4K screen takes half a second, which a copy should not make the user wait for.
class ImageMimeData final : public QMimeData {
public:
    explicit ImageMimeData(QImage image) : m_image(std::move(image)) { setImageData(m_image); }

    QStringList formats() const override {
        QStringList all = QMimeData::formats();
        all.prepend(pngType());
        return all;
    }
    bool hasFormat(const QString& mimeType) const override {
        return mimeType == pngType() || QMimeData::hasFormat(mimeType);
    }

protected:
    QVariant retrieveData(const QString& mimeType, QMetaType type) const override {
        if (mimeType == pngType()) {
            if (m_png.isEmpty())
                m_png = ScreenCapturer::encode(m_image, ImageFormat::png);
            return m_png;
        }
        return QMimeData::retrieveData(mimeType, type);
    }

private:
    static QString pngType() { return QStringLiteral("image/png"); }

    QImage m_image;
    mutable QByteArray m_png;
};

Error systemError(const QString& what, int err) {
    return Error{QStringLiteral("%1: %2").arg(what, QString::fromLocal8Bit(std::strerror(err))),
                 QStringLiteral("errno"), err};
}

// Moves `from` to `to` unless something already stands at `to`; errno on failure.
int moveWithoutReplacing(const QByteArray& from, const QByteArray& to) {
    if (::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS)
        return errno;
    // File systems without the flag: a hard link fails just as atomically on a taken name.
    if (::link(from.constData(), to.constData()) != 0)
        return errno;
    ::unlink(from.constData());
    return 0;
}

// The process's file-creation mask, read without changing it: umask() would have to
// set it for a moment, and saves run on worker threads while others may create files.
mode_t processUmask() {
    static const mode_t mask = [] {
        QFile status(QStringLiteral("/proc/self/status"));
        if (status.open(QIODevice::ReadOnly)) {
            for (const QByteArray& line : status.readAll().split('\n')) {
                if (line.startsWith("Umask:")) {
                    bool ok = false;
                    const uint value = line.mid(6).trimmed().toUInt(&ok, 8);
                    if (ok)
                        return static_cast<mode_t>(value & 0777);
                }
            }
        }
        return static_cast<mode_t>(022);
    }();
    return mask;
}

} // namespace

void ScreenCapturer::setBackend(std::shared_ptr<CaptureBackend> backend) {
    currentBackend() = std::move(backend);
}

std::shared_ptr<CaptureBackend> ScreenCapturer::backend() {
    return currentBackend();
}

void ScreenCapturer::freeze(const QScreen* screen, const QImage& image) {
    if (screen && !image.isNull())
        frozenImages()[screen->name()] = image;
}

void ScreenCapturer::thaw() {
    frozenImages().clear();
}

QFuture<Expected<QImage>> ScreenCapturer::captureFullDisplay(QScreen* screen) {
    if (!screen || !QGuiApplication::screens().contains(screen))
        return QtFuture::makeReadyFuture(
            Expected<QImage>(CaptureError::make(CaptureError::Kind::noDisplay)));

    const ScreenInfo info = ScreenInfo::of(screen);
    auto& frozen = frozenImages();
    if (const auto it = frozen.find(info.name); it != frozen.end()) {
        // The user chose on a still image of the screen: that image is the capture.
        Expected<QImage> still(it->second);
        frozen.clear();
        return QtFuture::makeReadyFuture(std::move(still));
    }
    frozen.clear();

    auto backend = currentBackend();
    if (!backend)
        return QtFuture::makeReadyFuture(
            Expected<QImage>(CaptureError::make(CaptureError::Kind::noDisplay)));

    const QRect nativeRect = info.nativeRect();
    return QtConcurrent::run([backend, nativeRect]() -> Expected<QImage> {
        // Let the overlay windows leave the screen before it is read.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        return backend->grab(nativeRect);
    });
}

Expected<QImage> ScreenCapturer::crop(const QImage& capture, const ScreenInfo& screen,
                                      const QRectF& localRect) {
    const double s = screen.scale;
    const double screenHeight = screen.geometry.height();
    const double w = std::abs(localRect.width());
    const double h = std::abs(localRect.height());
    // Points grow upwards from the screen's bottom; the capture's rows run downwards.
    const auto px = [](double v) {
        return static_cast<int>(std::clamp(geometry::roundAway(v), -1e9, 1e9));
    };
    const QRect wanted(px(localRect.x() * s), px(s * (screenHeight - (localRect.y() + h))),
                       px(s * w), px(s * h));
    const QRect cut = wanted.intersected(capture.rect());
    if (wanted.isEmpty() || cut.isEmpty())
        return CaptureError::make(CaptureError::Kind::cropFailed);
    QImage out = capture.depth() % 8 == 0 ? ImageBuffer::copy(capture, cut) : capture.copy(cut);
    if (out.isNull())
        return CaptureError::make(CaptureError::Kind::cropFailed);
    out.setDotsPerMeterX(pointsPerMeter);
    out.setDotsPerMeterY(pointsPerMeter);
    return out;
}

void ScreenCapturer::copyToClipboard(const QImage& image) {
    QClipboard* clipboard = QGuiApplication::clipboard();
    clipboard->clear();
    clipboard->setMimeData(new ImageMimeData(image));
}

QByteArray ScreenCapturer::encode(const QImage& image, ImageFormat format) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, format == ImageFormat::jpg ? "jpg" : "png");
    if (format == ImageFormat::jpg)
        writer.setQuality(90);
    // One point per pixel: 72 pixels per inch. Crops already say so; anything else is
    // copied to say it, since changing a shared image copies it anyway.
    QImage out = image;
    if (out.dotsPerMeterX() != pointsPerMeter || out.dotsPerMeterY() != pointsPerMeter) {
        out.setDotsPerMeterX(pointsPerMeter);
        out.setDotsPerMeterY(pointsPerMeter);
    }
    if (!writer.write(out))
        return {};
    return bytes;
}

QString ScreenCapturer::timestamp() {
    return QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd_'at'_HH.mm.ss"));
}

Expected<QString> ScreenCapturer::saveDirectory() {
    return saveDirectory(Settings::shared().saveFolderURL());
}

Expected<QString> ScreenCapturer::saveDirectory(const QString& folder) {
    const std::filesystem::path path(folder.toStdString());
    std::error_code ec;
    if (!std::filesystem::exists(std::filesystem::symlink_status(path, ec))) {
        std::filesystem::create_directories(path, ec);
        if (ec)
            return systemError(QStringLiteral("Couldn't create the folder “%1”").arg(folder),
                               ec.value());
    }
    return folder;
}

Expected<QString> ScreenCapturer::save(const QImage& image) {
    return save(image, Settings::shared());
}

Expected<QString> ScreenCapturer::save(const QImage& image, const Settings& settings) {
    return save(image, saveTarget(settings));
}

ScreenCapturer::SaveTarget ScreenCapturer::saveTarget(const Settings& settings) {
    return {settings.imageFormat(), settings.saveFolderURL()};
}

QFuture<Expected<QString>> ScreenCapturer::saveInBackground(const QImage& image) {
    const SaveTarget target = saveTarget(Settings::shared());
    return QtConcurrent::run([image, target] { return save(image, target); });
}

Expected<QString> ScreenCapturer::save(const QImage& image, const SaveTarget& target) {
    const ImageFormat format = target.format;
    const QByteArray bytes = encode(image, format);
    if (bytes.isEmpty())
        return CaptureError::make(CaptureError::Kind::encodeFailed);

    const Expected<QString> folder = saveDirectory(target.folder);
    if (!folder)
        return folder.error();
    const QString dir = folder.value();
    const QString where = QStringLiteral("Couldn't save into “%1”").arg(dir);

    // Write everything under a temporary name first, so that a crash or a full disk
    // never leaves a truncated image under the final name.
    QTemporaryFile temp(dir + QStringLiteral("/.kestrova-XXXXXX.part"));
    if (!temp.open()) {
        const int err = errno != 0 ? errno : EIO;
        return systemError(where, QFileInfo(dir).isDir() ? err : ENOTDIR);
    }
    errno = 0;
    // The temporary file is private; the screenshot is an ordinary file of the user's.
    if (::fchmod(temp.handle(), 0666 & ~processUmask()) != 0 || temp.write(bytes) != bytes.size() ||
        !temp.flush() || ::fsync(temp.handle()) != 0)
        return systemError(where, errno != 0 ? errno : EIO);
    temp.close();

    const QString base = dir + QStringLiteral("/kestrova_") + timestamp();
    const QString ext = QStringLiteral(".") + fileExtension(format);
    const QByteArray from = QFile::encodeName(temp.fileName());
    for (int n = 1; n < 10000; ++n) {
        const QString name =
            n == 1 ? base + ext : QStringLiteral("%1-%2%3").arg(base).arg(n).arg(ext);
        const int err = moveWithoutReplacing(from, QFile::encodeName(name));
        if (err == 0) {
            temp.setAutoRemove(false);
            return name;
        }
        if (err != EEXIST)
            return systemError(where, err);
    }
    return systemError(where, EEXIST);
}

} // namespace kestrova
