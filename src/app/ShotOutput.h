#pragma once

#include "Expected.h"
#include "ImageFormat.h"

#include <QByteArray>
#include <QSaveFile>
#include <QString>

#include <optional>

namespace kestrova {

// Where `--output` sends a command-line screenshot: a file, which replaces one already
// there in one step once it is complete, or standard output.
class ShotOutput final {
public:
    // Says why on standard error, in one line, and gives the status to end with.
    static int fail(int status, const QString& why);
    // Ends the process now: the picture is where it was asked to go. Tearing Qt down
    // would finish nothing, only cost time a key binding or script waits for.
    [[noreturn]] static void endNow(int status);

    // The type a file name asks for: .png, .jpg or .jpeg, in any case.
    static std::optional<ImageFormat> formatOf(const QString& path);

    // Checked, and a file opened, before anything is captured: "-" is standard output,
    // which may not be a terminal; a file needs a type kestrova writes and a folder
    // that takes it. Returns why not (the command's status is then badOutput).
    std::optional<QString> open(const QString& output);
    ImageFormat format() const { return m_format; }

    // Writes the whole picture; returns where it went (for --verbose), or why it could
    // not.
    Expected<QString> write(const QByteArray& bytes);
    // The same a part at a time: false when a part could not be written (commit() then
    // says why), and the picture is where it goes once committed.
    bool put(const char* data, qsizetype size);
    Expected<QString> commit();
    // Why a part could not be written, if one could not.
    const std::optional<QString>& failure() const { return m_failure; }

private:
    QString m_output;
    std::optional<QString> m_failure;
    ImageFormat m_format = ImageFormat::png;
    std::optional<QSaveFile> m_file;
};

} // namespace kestrova
