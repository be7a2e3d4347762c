#pragma once

#include "Error.h"
#include "Expected.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QObject>
#include <QTimer>
#include <QVariantMap>

#include <chrono>
#include <functional>

namespace kestrova {

// The desktop portal's service and object, and how its failures are told apart.
namespace portal {
inline constexpr char service[] = "org.freedesktop.portal.Desktop";
inline constexpr char path[] = "/org/freedesktop/portal/desktop";
inline constexpr char errorDomain[] = "kestrova.Portal";
enum class Failure {
    noService = 1, // no portal runs on the session bus
    noInterface,   // the portal runs but offers no such service
    refused,       // the portal answered "failed"
    noAnswer,      // nothing came back in time
    callFailed,    // any other error of the call itself
    unreadable,    // the portal's picture could not be read
    refusedBefore, // the user declined once, and the desktop keeps answering so
};
Error error(Failure failure, const QString& description);
bool is(const Error& error, Failure failure);
// A token no other request or session of this process has used.
QString nextToken();
} // namespace portal

// One request to a desktop portal: the method call, and the Response signal that
// answers it later on a request object of its own.
class PortalRequest final : public QObject {
    Q_OBJECT
public:
    struct Answer {
        uint response = 2; // 0 success, 1 cancelled by the user, 2 anything else
        QVariantMap results;
    };
    using Done = std::function<void(Expected<Answer>)>;

    // How long a portal has. The call itself is answered at once by a portal that runs
    // (`reply`); the answer may wait for a person reading a dialog the desktop shows
    // (`answer`), who is not to be cut off.
    struct Timeouts {
        std::chrono::milliseconds reply;
        std::chrono::milliseconds answer;
    };

    // Sends `call`, whose last argument must be its a{sv} of options (they gain the
    // handle token), after subscribing to the answer so that a quick one is not
    // missed. `done` runs once on the main thread: with the answer, or with the error
    // of the call or of no reply or answer in time. An answer that comes later still
    // goes to `late` (a file the portal wrote for it can then be removed). The request
    // lives under `owner`: when that goes, no callback runs any more.
    static void send(const QDBusConnection& bus, QDBusMessage call, Timeouts timeouts,
                     QObject* owner, Done done, std::function<void(const Answer&)> late = {});

    // The object path the portal uses for a request of this connection and token.
    static QString requestPath(const QDBusConnection& bus, const QString& token);

private:
    PortalRequest(const QDBusConnection& bus, QObject* owner);
    bool subscribe(const QString& path);
    void unsubscribe();
    void answer(Expected<Answer> answer);
    Q_SLOT void onResponse(uint response, const QVariantMap& results);

    QDBusConnection m_bus;
    QString m_path;
    QTimer m_timeout;
    Done m_done;
    std::function<void(const Answer&)> m_late;
};

} // namespace kestrova
