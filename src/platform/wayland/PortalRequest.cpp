#include "PortalRequest.h"

#include <QDBusError>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>

namespace kestrova {

namespace portal {

Error error(Failure failure, const QString& description) {
    return Error::of(errorDomain, failure, description);
}

bool is(const Error& error, Failure failure) {
    return error.is(errorDomain, failure);
}

QString nextToken() {
    // Requests and sessions are all made on the main thread.
    static unsigned counter = 0;
    return QStringLiteral("kestrova%1").arg(++counter);
}

} // namespace portal

namespace {

constexpr char requestInterface[] = "org.freedesktop.portal.Request";

// How long a request that timed out keeps listening for a late answer.
constexpr std::chrono::minutes lateAnswerWindow{5};

// "10 seconds", "5 minutes".
QString spoken(std::chrono::milliseconds wait) {
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(wait).count();
    if (seconds >= 120 && seconds % 60 == 0)
        return QStringLiteral("%1 minutes").arg(seconds / 60);
    return QStringLiteral("%1 seconds").arg(seconds);
}

Error noAnswer(std::chrono::milliseconds wait) {
    return portal::error(
        portal::Failure::noAnswer,
        QStringLiteral("The desktop portal did not answer within %1.").arg(spoken(wait)));
}

Error callError(const QDBusError& error, std::chrono::milliseconds replyTimeout) {
    using portal::Failure;
    switch (error.type()) {
    case QDBusError::NoReply:
    case QDBusError::Timeout:
    case QDBusError::TimedOut:
        return noAnswer(replyTimeout);
    case QDBusError::ServiceUnknown:
        return portal::error(Failure::noService,
                             QStringLiteral("No desktop portal runs in this session."));
    case QDBusError::UnknownInterface:
    case QDBusError::UnknownMethod:
    case QDBusError::UnknownObject:
        return portal::error(Failure::noInterface,
                             QStringLiteral("The desktop portal does not offer this service (%1).")
                                 .arg(error.message()));
    default:
        return portal::error(Failure::callFailed,
                             QStringLiteral("The desktop portal could not be asked: %1")
                                 .arg(error.message().isEmpty() ? error.name() : error.message()));
    }
}

} // namespace

QString PortalRequest::requestPath(const QDBusConnection& bus, const QString& token) {
    QString sender = bus.baseService();
    if (sender.startsWith(u':'))
        sender.remove(0, 1);
    sender.replace(u'.', u'_');
    return QStringLiteral("/org/freedesktop/portal/desktop/request/%1/%2").arg(sender, token);
}

PortalRequest::PortalRequest(const QDBusConnection& bus, QObject* owner)
    : QObject(owner), m_bus(bus) {
    m_timeout.setSingleShot(true);
}

void PortalRequest::send(const QDBusConnection& bus, QDBusMessage call, Timeouts timeouts,
                         QObject* owner, Done done, std::function<void(const Answer&)> late) {
    auto* request = new PortalRequest(bus, owner);
    request->m_done = std::move(done);
    request->m_late = std::move(late);
    if (!bus.isConnected()) {
        request->answer(portal::error(portal::Failure::noService,
                                      QStringLiteral("There is no session bus to reach the "
                                                     "desktop portal on.")));
        return;
    }

    const QString token = portal::nextToken();
    QList<QVariant> arguments = call.arguments();
    QVariantMap options =
        arguments.isEmpty() ? QVariantMap() : arguments.takeLast().value<QVariantMap>();
    options.insert(QStringLiteral("handle_token"), token);
    arguments.append(options);
    call.setArguments(arguments);
    if (!request->subscribe(requestPath(bus, token))) {
        request->answer(portal::error(portal::Failure::callFailed,
                                      QStringLiteral("kestrova couldn't listen for the desktop "
                                                     "portal's answer: %1")
                                          .arg(bus.lastError().message())));
        return;
    }

    // The bus ends the call when its reply is late; once the portal has replied, the
    // answer gets a wait of its own, long enough for any dialog it shows.
    connect(&request->m_timeout, &QTimer::timeout, request,
            [request, wait = timeouts.answer] { request->answer(noAnswer(wait)); });
    auto* watcher =
        new QDBusPendingCallWatcher(bus.asyncCall(call, int(timeouts.reply.count())), request);
    connect(watcher, &QDBusPendingCallWatcher::finished, request, [request, watcher, timeouts] {
        watcher->deleteLater();
        const QDBusPendingReply<QDBusObjectPath> reply = *watcher;
        if (reply.isError()) {
            request->answer(callError(reply.error(), timeouts.reply));
            return;
        }
        if (request->m_done)
            request->m_timeout.start(timeouts.answer);
        // Portals older than the handle token answer on a path of their own choosing.
        const QString path = reply.value().path();
        if (!path.isEmpty() && path != request->m_path) {
            request->unsubscribe();
            request->subscribe(path);
        }
    });
}

bool PortalRequest::subscribe(const QString& path) {
    m_path = path;
    return m_bus.connect(QLatin1String(portal::service), m_path, QLatin1String(requestInterface),
                         QStringLiteral("Response"), this, SLOT(onResponse(uint, QVariantMap)));
}

void PortalRequest::unsubscribe() {
    if (m_path.isEmpty())
        return;
    m_bus.disconnect(QLatin1String(portal::service), m_path, QLatin1String(requestInterface),
                     QStringLiteral("Response"), this, SLOT(onResponse(uint, QVariantMap)));
}

void PortalRequest::onResponse(uint response, const QVariantMap& results) {
    const Answer received{response, results};
    if (m_done) {
        answer(received);
        return;
    }
    // Timed out earlier: the caller has moved on, but may have something to tidy up.
    if (m_late)
        m_late(received);
    unsubscribe();
    deleteLater();
}

void PortalRequest::answer(Expected<Answer> answer) {
    Done done = std::move(m_done);
    m_done = nullptr;
    m_timeout.stop();
    const bool timedOut = !answer && portal::is(answer.error(), portal::Failure::noAnswer);
    if (timedOut && !m_path.isEmpty()) {
        // Ask the portal to drop the request (and any dialog left unanswered for that
        // long); keep listening for a while in case it answers anyway.
        m_bus.send(QDBusMessage::createMethodCall(QLatin1String(portal::service), m_path,
                                                  QLatin1String(requestInterface),
                                                  QStringLiteral("Close")));
        QTimer::singleShot(lateAnswerWindow, this, [this] {
            unsubscribe();
            deleteLater();
        });
    } else {
        unsubscribe();
        deleteLater();
    }
    if (done)
        done(std::move(answer));
}

} // namespace kestrova
