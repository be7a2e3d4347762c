#include "PortalPicture.h"

#include "PngDecoder.h"
#include "PortalRequest.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QImageReader>
#include <QRect>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <memory>
#include <new>
#include <optional>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrova {

namespace {

// Closes a descriptor when it goes out of scope.
class Descriptor final {
public:
    explicit Descriptor(int fd = -1) : m_fd(fd) {}
    ~Descriptor() { reset(); }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return m_fd; }
    void reset(int fd = -1) {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = fd;
    }

private:
    int m_fd;
};

Error unreadable(const QString& why) {
    return portal::error(
        portal::Failure::unreadable,
        QStringLiteral("The screenshot portal's picture could not be read (%1).").arg(why));
}

Error unreadable(const QString& path, int err) {
    return unreadable(
        QStringLiteral("%1: %2").arg(path, QString::fromLocal8Bit(std::strerror(err))));
}

// Up to `size` bytes from the start of a file; fewer if it ends first.
std::optional<std::size_t> readAll(int fd, std::uint8_t* to, std::size_t size) {
    std::size_t got = 0;
    while (got < size) {
        const ssize_t n = ::pread(fd, to + got, size - got, off_t(got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return std::nullopt;
        if (n == 0)
            break;
        got += std::size_t(n);
    }
    return got;
}

} // namespace

QSize PortalPicture::desktopPixels(const std::vector<ScreenInfo>& screens) {
    QRect box;
    double scale = 1;
    for (const ScreenInfo& screen : screens) {
        box = box.united(screen.geometry);
        scale = std::max(scale, screen.scale);
    }
    return QSize(int(std::ceil(box.width() * scale)), int(std::ceil(box.height() * scale)));
}

int PortalPicture::allocationLimit(const std::vector<ScreenInfo>& screens) {
    const QSize pixels = desktopPixels(screens);
    const double bytes = double(pixels.width()) * double(pixels.height()) * 4;
    // Twice the picture, for the decoder's own conversions; never below Qt's default.
    return int(std::clamp(std::ceil(2 * bytes / (1024.0 * 1024.0)), 128.0, 1e6));
}

Expected<QImage> PortalPicture::take(const QString& path, int allocationLimitMiB,
                                     PngDecoder::Memory ready) {
    if (path.isEmpty())
        return unreadable(QStringLiteral("no file given"));
    const QString clean = QDir::cleanPath(path);
    if (!clean.startsWith(u'/'))
        return unreadable(QStringLiteral("%1: not an absolute path").arg(path));

    // Folder by folder, each opened without following a link; a link on the way is
    // followed for reading only.
    bool throughLink = false;
    Descriptor folder(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
    const QStringList parts = clean.split(u'/', Qt::SkipEmptyParts);
    if (parts.isEmpty())
        return unreadable(path, EISDIR);
    for (qsizetype i = 0; i + 1 < parts.size(); ++i) {
        const QByteArray name = QFile::encodeName(parts[i]);
        int next =
            ::openat(folder.get(), name.constData(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0) {
            next = ::openat(folder.get(), name.constData(), O_PATH | O_DIRECTORY | O_CLOEXEC);
            throughLink = next >= 0;
        }
        if (next < 0)
            return unreadable(path, errno);
        folder.reset(next);
    }
    const QByteArray name = QFile::encodeName(parts.last());
    // Non-blocking: a FIFO or device named here must not stop the reader for ever.
    constexpr int readFlags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    Descriptor file(::openat(folder.get(), name.constData(), readFlags | O_NOFOLLOW));
    if (file.get() < 0 && errno == ELOOP) {
        file.reset(::openat(folder.get(), name.constData(), readFlags));
        throughLink = true;
    }
    if (file.get() < 0)
        return unreadable(path, errno);
    struct stat opened {};
    if (::fstat(file.get(), &opened) != 0)
        return unreadable(path, errno);
    if (!S_ISREG(opened.st_mode))
        return unreadable(QStringLiteral("%1 is not a file").arg(path));

    // Read from the descriptor that was checked, not from the name again, and all at
    // once: the file was just written, so it is in memory, and the fast decoder wants it
    // whole.
    const std::size_t limit = std::size_t(allocationLimitMiB) * 1024 * 1024;
    if (opened.st_size <= 0 || std::size_t(opened.st_size) > limit)
        return unreadable(QStringLiteral("%1: %2 bytes is not a picture of the screen")
                              .arg(path)
                              .arg(qint64(opened.st_size)));
    const std::size_t expected = std::size_t(opened.st_size);
    const std::unique_ptr<std::uint8_t[]> bytes(new (std::nothrow) std::uint8_t[expected]);
    if (!bytes)
        return unreadable(path, ENOMEM);
    const std::optional<std::size_t> got = readAll(file.get(), bytes.get(), expected);
    if (!got)
        return unreadable(path, errno);
    QImage image = PngDecoder::decode(bytes.get(), *got, limit, std::move(ready));
    if (image.isNull()) {
        // Not the kind of PNG desktops write: the general decoder reads it, or says why
        // it cannot. (The fast one may have moved the bytes of a PNG it gave up on.)
        if (const std::optional<std::size_t> again = readAll(file.get(), bytes.get(), *got);
            again != got)
            return unreadable(path, again ? EIO : errno);
        QBuffer reader;
        reader.setData(
            QByteArray::fromRawData(reinterpret_cast<const char*>(bytes.get()), qsizetype(*got)));
        reader.open(QIODevice::ReadOnly);
        QImageReader decoder(&reader);
        decoder.setAllocationLimit(allocationLimitMiB);
        image = decoder.read();
        if (image.isNull())
            return unreadable(QStringLiteral("%1: %2").arg(path, decoder.errorString()));
    }

    // Removed only if the name still stands for the very file that was read.
    struct stat named {};
    if (!throughLink &&
        ::fstatat(folder.get(), name.constData(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
        named.st_dev == opened.st_dev && named.st_ino == opened.st_ino)
        ::unlinkat(folder.get(), name.constData(), 0);
    return image;
}

} // namespace kestrova
