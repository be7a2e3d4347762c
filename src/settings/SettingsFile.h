#pragma once

#include <QByteArray>
#include <QSettings>
#include <QString>

#include <optional>

class QIODevice;

namespace kestrova {

// kestrova.conf as kestrova reads and writes it: the INI layout Qt writes, but with
// every value kept as the plain text (or, for "@ByteArray(…)", the bytes) it spells.
// Qt's own INI reader decodes typed values ("@Variant(…)", "@Rect(…)" …) of every key,
// used or not, and a hostile file can make that overflow the stack or run for hours;
// kestrova itself only ever writes numbers, a word and a path, so nothing here is
// decoded further and a typed value simply reads as bad input.
class SettingsFile final {
public:
    SettingsFile() = delete;

    // Files larger than this are not ours: they read as empty.
    static constexpr qint64 maximumSize = 64 * 1024;

    // The QSettings format registered for these files.
    static QSettings::Format format();

    // Keys (section "General" left out, other sections as "section/key") and values;
    // nothing when the bytes are not a settings file (too large, not UTF-8, NUL bytes,
    // a line that is neither a section, a comment nor key=value).
    static std::optional<QSettings::SettingsMap> parse(const QByteArray& bytes);
    static QByteArray serialize(const QSettings::SettingsMap& map);

    // Why the file at `path` must not be opened (a FIFO, a device, a folder …), or
    // nothing when it is a regular file or absent. Never blocks.
    static std::optional<QString> refusal(const QString& path);
};

} // namespace kestrova
