#pragma once

#include "Log.h"

#include <QByteArray>

#include <cstring>

namespace kestrova::test {

// Collects kestrova's own messages, as standard error would show them, while it lives;
// everything else goes on to the test's log.
class LogCapture final {
public:
    LogCapture() {
        s_text = {};
        m_previous = qInstallMessageHandler(collect);
        s_previous = m_previous;
    }
    ~LogCapture() { qInstallMessageHandler(m_previous); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    QByteArray text() const { return s_text; }

private:
    static void collect(QtMsgType type, const QMessageLogContext& context, const QString& message) {
        if (context.category && std::strncmp(context.category, "kestrova.", 9) == 0)
            s_text += logLine(type, context.category, message);
        else
            s_previous(type, context, message);
    }

    static inline QByteArray s_text;
    static inline QtMessageHandler s_previous = nullptr;
    QtMessageHandler m_previous = nullptr;
};

} // namespace kestrova::test
