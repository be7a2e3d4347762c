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

// Qt's X11 tray icon asks for a signal its platform plugin no longer has, and says so
// at every start without a tray, where kestrova has already said what matters.
bool isTrayNoise(const QMessageLogContext& context, const QString& message) {
    return context.category && std::strcmp(context.category, "qt.core.qobject.connect") == 0 &&
           message.contains(QLatin1String("systemTrayWindowChanged"));
}

// Qt's Wayland platform says so when told to load no graphics driver, as kestrova tells
// it (windows are painted on the processor).
bool isNoDriverNoise(const QMessageLogContext& context, const QString& message) {
    return context.category && std::strcmp(context.category, "qt.qpa.wayland") == 0 &&
           message.contains(QLatin1String("client buffer integration")) &&
           qgetenv("QT_WAYLAND_CLIENT_BUFFER_INTEGRATION") == "none";
}

void print(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (isTrayNoise(context, message) || isNoDriverNoise(context, message))
        return;
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
