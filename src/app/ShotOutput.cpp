#include "ShotOutput.h"

#include <QFileInfo>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <unistd.h>

namespace kestrova {

namespace {

// Every byte to a descriptor, through short writes and interruptions.
bool writeAll(int fd, const char* at, qsizetype left) {
    while (left > 0) {
        const ssize_t n = ::write(fd, at, std::size_t(left));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        at += n;
        left -= n;
    }
    return true;
}

} // namespace

std::optional<ImageFormat> ShotOutput::formatOf(const QString& path) {
    const QString suffix = QFileInfo(path).suffix().toLower();
    return imageFormatFromRaw(suffix == QLatin1String("jpeg") ? QStringLiteral("jpg") : suffix);
}

int ShotOutput::fail(int status, const QString& why) {
    std::fprintf(stderr, "kestrova: %s\n", qPrintable(why));
    std::fflush(stderr);
    return status;
}

void ShotOutput::endNow(int status) {
    std::fflush(stdout);
    std::fflush(stderr);
    std::_Exit(status);
}

std::optional<QString> ShotOutput::open(const QString& output) {
    m_output = output;
    if (output == QLatin1String("-")) {
        if (::isatty(STDOUT_FILENO))
            return QStringLiteral("standard output is a terminal; redirect it to a file or a "
                                  "program, or use --output FILE");
        return std::nullopt;
    }
    const std::optional<ImageFormat> chosen = formatOf(output);
    if (!chosen)
        return QStringLiteral("can't tell the image type of '%1': end the name in .png, .jpg "
                              "or .jpeg")
            .arg(output);
    m_format = *chosen;
    // Opened now: a folder that is missing or cannot take the file fails before the
    // capture. The picture replaces the file in one step when it is complete.
    m_file.emplace(output);
    if (!m_file->open(QIODevice::WriteOnly))
        return QStringLiteral("can't write '%1': %2").arg(output, m_file->errorString());
    return std::nullopt;
}

Expected<QString> ShotOutput::write(const QByteArray& bytes) {
    put(bytes.constData(), bytes.size());
    return commit();
}

bool ShotOutput::put(const char* data, qsizetype size) {
    if (m_failure)
        return false;
    if (!m_file) {
        std::signal(SIGPIPE, SIG_IGN); // a reader that went away is an error, not a kill
        if (!writeAll(STDOUT_FILENO, data, size))
            m_failure = QStringLiteral("couldn't write the picture to standard output: %1")
                            .arg(QString::fromLocal8Bit(std::strerror(errno)));
    } else if (m_file->write(data, size) != size) {
        m_failure = QStringLiteral("can't write '%1': %2").arg(m_output, m_file->errorString());
    }
    return !m_failure;
}

Expected<QString> ShotOutput::commit() {
    if (m_failure)
        return Error{*m_failure};
    if (!m_file)
        return QStringLiteral("standard output");
    if (!m_file->commit())
        return Error{QStringLiteral("can't write '%1': %2").arg(m_output, m_file->errorString())};
    return QFileInfo(m_output).absoluteFilePath();
}

} // namespace kestrova
