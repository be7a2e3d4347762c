#pragma once

#include "Expected.h"

#include <QString>

namespace kestrova {

// Starting kestrova at login, through the desktop's autostart folder. The entry on disk
// is the only record: every call reads it afresh.
class LaunchAtLogin final {
public:
    LaunchAtLogin() = delete;

    // True exactly when our autostart entry exists and is not hidden or disabled.
    static bool isEnabled();
    // Writes (atomically) or removes the entry; does nothing when already as asked.
    [[nodiscard]] static Status setEnabled(bool on);

    static QString entryPath();
    // The headline of the alert shown when a change fails.
    static QString failureMessage(bool enabling);
    // The text of the entry that starts the given program.
    static QByteArray entryFor(const QString& executable);
    // An Exec argument quoted and escaped as desktop entries require.
    static QString quoteExecArgument(const QString& argument);
};

} // namespace kestrova
