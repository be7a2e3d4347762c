#pragma once

#include "Expected.h"
#include "ImageFormat.h"

#include <QByteArray>
#include <QString>

namespace kestrova {

// A screenshot's file in the save folder: a new name for each (the time stamp, then
// "-2", "-3" … within the same second), never replacing a file that is there, and
// never seen half-written, even after a crash or a full disk. Usable on any thread.
class ScreenshotFile final {
public:
    enum class TemporaryFile {
        unnamed, // O_TMPFILE, linked under its name when complete (a named file where the
                 // file system has no unnamed ones)
        named,   // a hidden file in the folder, renamed when complete
    };

    // Writes `bytes`, encoded as `format`, into the folder `dir` (which must exist);
    // `where` begins the description of a failure. The path of the new file.
    static Expected<QString> place(const QByteArray& bytes, const QString& dir, ImageFormat format,
                                   const QString& where,
                                   TemporaryFile method = TemporaryFile::unnamed);
    // The folder, created with its parents when missing.
    static Expected<QString> saveDirectory(const QString& folder);
    static QString timestamp();
};

} // namespace kestrova
