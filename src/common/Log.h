#pragma once

#include <QByteArray>
#include <QLoggingCategory>

namespace kestrova {

// One category a subsystem: `QT_LOGGING_RULES="kestrova.capture.debug=true"` turns on
// the capture's debug lines, `kestrova.*.debug=true` all of them.
Q_DECLARE_LOGGING_CATEGORY(lcApp)
Q_DECLARE_LOGGING_CATEGORY(lcCapture)
Q_DECLARE_LOGGING_CATEGORY(lcEditor)
Q_DECLARE_LOGGING_CATEGORY(lcHotKey)
Q_DECLARE_LOGGING_CATEGORY(lcSettings)

// The line standard error gets for a message: warnings are meant for the user and read
// "kestrova: …"; debug lines name their category.
QByteArray logLine(QtMsgType type, const char* category, const QString& message);

// Prints kestrova's own messages as logLine() has them; every other message goes on as
// Qt would print it.
void installLogFormat();

} // namespace kestrova
