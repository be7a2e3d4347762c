#include "Log.h"

#include <cstdio>
#include <cstring>

namespace kestrova {

// Debug lines only when the rules ask for them.
Q_LOGGING_CATEGORY(lcApp, "kestrova.app", QtInfoMsg)
Q_LOGGING_CATEGORY(lcCapture, "kestrova.capture", QtInfoMsg)
Q_LOGGING_CATEGORY(lcEditor, "kestrova.editor", QtInfoMsg)
Q_LOGGING_CATEGORY(lcHotKey, "kestrova.hotkey", QtInfoMsg)
Q_LOGGING_CATEGORY(lcSettings, "kestrova.settings", QtInfoMsg)

namespace {

QtMessageHandler qtHandler = nullptr;

bool isOwn(const char* category) {
    return category && std::strncmp(category, "kestrova.", 9) == 0;
}

void print(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (!isOwn(context.category)) {
        qtHandler(type, context, message);
        return;
    }
    const QByteArray line = logLine(type, context.category, message);
    std::fwrite(line.constData(), 1, std::size_t(line.size()), stderr);
    std::fflush(stderr);
}

} // namespace

QByteArray logLine(QtMsgType type, const char* category, const QString& message) {
    const QByteArray prefix = type == QtDebugMsg && category ? QByteArray(category) : "kestrova";
    return prefix + ": " + message.toLocal8Bit() + '\n';
}

void installLogFormat() {
    if (!qtHandler)
        qtHandler = qInstallMessageHandler(print);
}

} // namespace kestrova
