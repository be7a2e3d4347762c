#include "PortalHotKeyBackend.h"

#include "KeyNames.h"
#include "PortalRequest.h"
#include "PortalShortcut.h"

#include <QDBusError>
#include <QDBusMessage>

#include <atomic>
#include <cstdio>

namespace kestrova {

namespace {

constexpr char shortcutsInterface[] = "org.freedesktop.portal.GlobalShortcuts";

QDBusMessage portalCall(const QString& method) {
    return QDBusMessage::createMethodCall(QLatin1String(portal::service),
                                          QLatin1String(portal::path),
                                          QLatin1String(shortcutsInterface), method);
}

QString sessionOf(const QVariant& handle) {
    if (handle.metaType() == QMetaType::fromType<QDBusObjectPath>())
        return handle.value<QDBusObjectPath>().path();
    return handle.toString();
}

void say(const QString& line) {
    std::fprintf(stderr, "kestrova: %s\n", qPrintable(line));
    std::fflush(stderr);
}

} // namespace

PortalHotKeyBackend::PortalHotKeyBackend(QDBusConnection bus, std::chrono::milliseconds timeout)
    : m_bus(std::move(bus)), m_timeout(timeout) {
    PortalShortcut::registerType();
    // The slot is found by its types' names, which must be known before the first use.
    qRegisterMetaType<QDBusObjectPath>();
    if (!m_bus.connect(QLatin1String(portal::service), QLatin1String(portal::path),
                       QLatin1String(shortcutsInterface), QStringLiteral("Activated"), this,
                       SLOT(onActivated(QDBusObjectPath, QString, qulonglong, QVariantMap))))
        say(QStringLiteral("couldn't listen for the desktop's shortcut presses (%1)")
                .arg(m_bus.lastError().message()));
}

PortalHotKeyBackend::~PortalHotKeyBackend() {
    closeSession();
}

Status PortalHotKeyBackend::grab(std::uint32_t virtualKey, std::uint32_t carbonModifiers) {
    const std::optional<QString> trigger = PortalShortcut::trigger(virtualKey, carbonModifiers);
    if (!trigger)
        return Error{QStringLiteral("the desktop's shortcut service has no name for this key")};
    closeSession();
    m_key = virtualKey;
    m_modifiers = carbonModifiers;
    m_trigger = *trigger;
    createSession(++m_generation);
    return std::nullopt;
}

void PortalHotKeyBackend::release() {
    ++m_generation;
    m_key.reset();
    m_modifiers.reset();
    closeSession();
}

void PortalHotKeyBackend::closeSession(const QString& session) {
    if (!session.isEmpty()) {
        m_bus.send(QDBusMessage::createMethodCall(QLatin1String(portal::service), session,
                                                  QStringLiteral("org.freedesktop.portal.Session"),
                                                  QStringLiteral("Close")));
    }
}

void PortalHotKeyBackend::closeSession() {
    closeSession(m_session);
    m_session.clear();
    m_bound = false;
}

void PortalHotKeyBackend::createSession(unsigned generation) {
    static std::atomic<unsigned> sessions{0};
    QDBusMessage call = portalCall(QStringLiteral("CreateSession"));
    call << QVariantMap{
        {QStringLiteral("session_handle_token"), QStringLiteral("kestrova%1").arg(++sessions)}};
    PortalRequest::send(
        m_bus, call, m_timeout, this, [this, generation](Expected<PortalRequest::Answer> answer) {
            if (answer && answer.value().response == 0) {
                const QString session =
                    sessionOf(answer.value().results.value(QStringLiteral("session_handle")));
                if (generation != m_generation) {
                    // Released or changed meanwhile: this session is not wanted.
                    closeSession(session);
                    return;
                }
                m_session = session;
                bind(generation);
                return;
            }
            if (generation != m_generation)
                return;
            if (!answer && (portal::is(answer.error(), portal::Failure::noService) ||
                            portal::is(answer.error(), portal::Failure::noInterface))) {
                sayUnavailable(answer.error().description);
                return;
            }
            say(QStringLiteral("the desktop did not open a shortcut session for %1 — %2")
                    .arg(KeyNames::string(*m_key, *m_modifiers),
                         answer ? QStringLiteral("it answered %1").arg(answer.value().response)
                                : answer.error().description));
        });
}

void PortalHotKeyBackend::bind(unsigned generation) {
    const PortalShortcuts shortcuts{
        {QLatin1String(shortcutId),
         {{QStringLiteral("description"), QStringLiteral("Capture Region")},
          {QStringLiteral("preferred_trigger"), m_trigger}}}};
    QDBusMessage call = portalCall(QStringLiteral("BindShortcuts"));
    call << QVariant::fromValue(QDBusObjectPath(m_session)) << QVariant::fromValue(shortcuts)
         << QString() << QVariantMap();
    PortalRequest::send(
        m_bus, call, m_timeout, this, [this, generation](Expected<PortalRequest::Answer> answer) {
            if (generation != m_generation)
                return;
            if (answer && answer.value().response == 0) {
                m_bound = true;
                return;
            }
            say(QStringLiteral("the desktop did not bind the shortcut %1 — %2")
                    .arg(KeyNames::string(*m_key, *m_modifiers),
                         answer ? QStringLiteral("it was declined") : answer.error().description));
        });
}

void PortalHotKeyBackend::sayUnavailable(const QString& why) {
    if (m_toldUnavailable)
        return;
    m_toldUnavailable = true;
    say(QStringLiteral("this desktop offers applications no global shortcuts (%1). To "
                       "capture with %2, bind the command `kestrova --capture` to it in the "
                       "desktop's keyboard settings")
            .arg(why.endsWith(u'.') ? why.chopped(1) : why,
                 KeyNames::string(*m_key, *m_modifiers)));
}

void PortalHotKeyBackend::onActivated(const QDBusObjectPath& session, const QString& id, qulonglong,
                                      const QVariantMap&) {
    if (m_bound && session.path() == m_session && id == QLatin1String(shortcutId) && onPressed)
        onPressed();
}

} // namespace kestrova
