#include "ScreenshotFile.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrova {

namespace {

Error systemError(const QString& what, int err) {
    return Error{QStringLiteral("%1: %2").arg(what, QString::fromLocal8Bit(std::strerror(err))),
                 QStringLiteral("errno"), err};
}

// Closes a descriptor when it goes out of scope.
class Descriptor final {
public:
    explicit Descriptor(int fd) : m_fd(fd) {}
    ~Descriptor() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return m_fd; }

private:
    int m_fd;
};

// errno of the first failure, or 0.
int writeAll(int fd, const QByteArray& bytes) {
    const char* at = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, at, static_cast<std::size_t>(left));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        at += n;
        left -= n;
    }
    return ::fsync(fd) == 0 ? 0 : errno;
}

// The names a screenshot may take, in order: the time stamp, then "-2", "-3" … for
// screenshots taken within the same second. Calls `place` until it does not report a
// taken name; returns the name or the error.
Expected<QString> placeUnderFreeName(const QString& dir, ImageFormat format,
                                     const std::function<int(const QByteArray&)>& place,
                                     const QString& where) {
    const QString base = dir + QStringLiteral("/kestrova_") + ScreenshotFile::timestamp();
    const QString ext = QStringLiteral(".") + fileExtension(format);
    for (int n = 1; n < 10000; ++n) {
        const QString name =
            n == 1 ? base + ext : QStringLiteral("%1-%2%3").arg(base).arg(n).arg(ext);
        const int err = place(QFile::encodeName(name));
        if (err == 0)
            return name;
        if (err != EEXIST)
            return systemError(where, err);
    }
    return systemError(where, EEXIST);
}

// The name only becomes durable once the folder itself is synced.
void syncFolder(const QString& dir) {
    const Descriptor folder(
        ::open(QFile::encodeName(dir).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.get() >= 0)
        ::fsync(folder.get());
}

// Writes through a file without a name, which a crash at any moment simply discards,
// and links it under its final name once complete; linking fails on a taken name.
// Nothing, not even an error, when the file system cannot make unnamed files.
std::optional<Expected<QString>> writeUnnamed(const QByteArray& bytes, const QString& dir,
                                              ImageFormat format, const QString& where) {
    // The kernel applies the umask: the file gets the mode of any file the user writes.
    const Descriptor file(
        ::open(QFile::encodeName(dir).constData(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666));
    if (file.get() < 0) {
        const int err = errno;
        if (err == EOPNOTSUPP || err == EISDIR || err == EINVAL)
            return std::nullopt;
        return Expected<QString>(systemError(where, err));
    }
    if (const int err = writeAll(file.get(), bytes))
        return Expected<QString>(systemError(where, err));
    // Linking a file that has no name goes through /proc; without it, write a named one.
    const QByteArray self = "/proc/self/fd/" + QByteArray::number(file.get());
    if (::access(self.constData(), F_OK) != 0)
        return std::nullopt;
    Expected<QString> placed = placeUnderFreeName(
        dir, format,
        [&](const QByteArray& name) {
            return ::linkat(AT_FDCWD, self.constData(), AT_FDCWD, name.constData(),
                            AT_SYMLINK_FOLLOW) == 0
                       ? 0
                       : errno;
        },
        where);
    if (placed)
        syncFolder(dir);
    return placed;
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
}

// Writes everything under a hidden temporary name first, so that a crash or a full disk
// never leaves a truncated image under the final name.
Expected<QString> writeNamed(const QByteArray& bytes, const QString& dir, ImageFormat format,
                             const QString& where) {
    QByteArray temp = QFile::encodeName(dir + QStringLiteral("/.kestrova-XXXXXX.part"));
    const Descriptor file(::mkostemps(temp.data(), 5, O_CLOEXEC));
    if (file.get() < 0) {
        const int err = errno; // before anything else can change it
        return systemError(where, QFileInfo(dir).isDir() ? err : ENOTDIR);
    }
    // The temporary file is private; the screenshot is an ordinary file of the user's.
    int err = ::fchmod(file.get(), 0666 & ~processUmask()) == 0 ? 0 : errno;
    if (err == 0)
        err = writeAll(file.get(), bytes);
    if (err != 0) {
        ::unlink(temp.constData());
        return systemError(where, err);
    }
    Expected<QString> placed = placeUnderFreeName(
        dir, format, [&](const QByteArray& name) { return moveWithoutReplacing(temp, name); },
        where);
    if (!placed)
        ::unlink(temp.constData());
    else
        syncFolder(dir);
    return placed;
}

} // namespace

Expected<QString> ScreenshotFile::place(const QByteArray& bytes, const QString& dir,
                                        ImageFormat format, const QString& where,
                                        TemporaryFile method) {
    if (!QFileInfo(dir).isDir())
        return systemError(where, ENOTDIR);
    if (method == TemporaryFile::unnamed) {
        if (std::optional<Expected<QString>> saved = writeUnnamed(bytes, dir, format, where))
            return *saved;
    }
    return writeNamed(bytes, dir, format, where);
}

QString ScreenshotFile::timestamp() {
    return QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd_'at'_HH.mm.ss"));
}

Expected<QString> ScreenshotFile::saveDirectory(const QString& folder) {
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

} // namespace kestrova
