#include "PortalHotKeyBackend.h"

#include "DesktopSession.h"
#include "Log.h"
#include "PlasmaTrigger.h"

#include "KeyNames.h"
#include "PortalRequest.h"
#include "PortalShortcut.h"

#include <QDBusError>
#include <QDBusMessage>

namespace kestrova {

namespace {

constexpr char shortcutsInterface[] = "org.freedesktop.portal.GlobalShortcuts";
constexpr char sessionInterface[] = "org.freedesktop.portal.Session";

// A desktop that closes every session it opens is not asked again and again.
constexpr std::chrono::seconds reopenPause{10};

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
    qCWarning(lcHotKey, "%s", qPrintable(line));
}

} // namespace

PortalHotKeyBackend::PortalHotKeyBackend(QDBusConnection bus, PortalRequest::Timeouts timeouts)
    : m_bus(std::move(bus)), m_timeouts(timeouts) {
    PortalShortcut::registerType();
    // The slot is found by its types' names, which must be known before the first use.
    qRegisterMetaType<QDBusObjectPath>();
    if (!m_bus.connect(QLatin1String(portal::service), QLatin1String(portal::path),
                       QLatin1String(shortcutsInterface), QStringLiteral("Activated"), this,
                       SLOT(onActivated(QDBusObjectPath, QString, qulonglong, QVariantMap))) ||
        !m_bus.connect(QLatin1String(portal::service), QLatin1String(portal::path),
                       QLatin1String(shortcutsInterface), QStringLiteral("ShortcutsChanged"), this,
                       SLOT(onShortcutsChanged(QDBusMessage))))
        say(QStringLiteral("couldn't listen for the desktop's shortcut presses (%1)")
                .arg(m_bus.lastError().message()));
}

PortalHotKeyBackend::~PortalHotKeyBackend() {
    closeSession();
}

Status PortalHotKeyBackend::grab(std::uint32_t virtualKey, std::uint32_t carbonModifiers) {
    const std::optional<QString> trigger =
        DesktopSession::isPlasma()
            ? PlasmaTrigger::trigger(virtualKey, carbonModifiers, PlasmaTrigger::currentLayout())
            : PortalShortcut::trigger(virtualKey, carbonModifiers);
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
        m_bus.disconnect(QLatin1String(portal::service), session, QLatin1String(sessionInterface),
                         QStringLiteral("Closed"), this, SLOT(onSessionClosed(QDBusMessage)));
        m_bus.send(QDBusMessage::createMethodCall(QLatin1String(portal::service), session,
                                                  QStringLiteral("org.freedesktop.portal.Session"),
                                                  QStringLiteral("Close")));
    }
}

void PortalHotKeyBackend::closeSession() {
    closeSession(m_session);
    m_session.clear();
    m_desktopTrigger.clear();
    m_bound = false;
}

PortalShortcuts PortalHotKeyBackend::wanted() const {
    return {{QLatin1String(shortcutId),
             {{QStringLiteral("description"), QStringLiteral("Capture Region")},
              {QStringLiteral("preferred_trigger"), m_trigger}}}};
}

void PortalHotKeyBackend::createSession(unsigned generation) {
    QDBusMessage call = portalCall(QStringLiteral("CreateSession"));
    // Plasma registers only the shortcuts given here; other desktops ignore the option
    // and take them from BindShortcuts.
    call << QVariantMap{{QStringLiteral("session_handle_token"), portal::nextToken()},
                        {QStringLiteral("shortcuts"), QVariant::fromValue(wanted())}};
    PortalRequest::send(
        m_bus, call, m_timeouts, this, [this, generation](Expected<PortalRequest::Answer> answer) {
            if (answer && answer.value().response == 0) {
                const QString session =
                    sessionOf(answer.value().results.value(QStringLiteral("session_handle")));
                if (generation != m_generation) {
                    // Released or changed meanwhile: this session is not wanted.
                    closeSession(session);
                    return;
                }
                m_session = session;
                // The desktop may end the session itself (the user revoked it, or the
                // desktop restarted): the shortcut is gone then and is asked for anew.
                m_bus.connect(QLatin1String(portal::service), session,
                              QLatin1String(sessionInterface), QStringLiteral("Closed"), this,
                              SLOT(onSessionClosed(QDBusMessage)));
                // Plasma's BindShortcuts only opens its shortcut settings (at every start
                // of kestrova); the session holds the shortcut already.
                if (bindsAtCreation()) {
                    m_bound = true;
                    return;
                }
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
                    .arg(KeyNames::desktopString(*m_key, *m_modifiers),
                         answer ? QStringLiteral("it answered %1").arg(answer.value().response)
                                : answer.error().description));
        });
}

bool PortalHotKeyBackend::bindsAtCreation() {
    return DesktopSession::isPlasma();
}

void PortalHotKeyBackend::bind(unsigned generation) {
    QDBusMessage call = portalCall(QStringLiteral("BindShortcuts"));
    call << QVariant::fromValue(QDBusObjectPath(m_session)) << QVariant::fromValue(wanted())
         << QString() << QVariantMap();
    PortalRequest::send(
        m_bus, call, m_timeouts, this, [this, generation](Expected<PortalRequest::Answer> answer) {
            if (generation != m_generation)
                return;
            if (answer && answer.value().response == 0) {
                m_bound = true;
                follow(qdbus_cast<PortalShortcuts>(
                    answer.value().results.value(QStringLiteral("shortcuts"))));
                return;
            }
            say(QStringLiteral("the desktop did not bind the shortcut %1 — %2")
                    .arg(KeyNames::desktopString(*m_key, *m_modifiers),
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
                 KeyNames::desktopString(*m_key, *m_modifiers)));
}

// What the desktop says of kestrova's shortcut now: the key it chose, or that it has
// none any more.
void PortalHotKeyBackend::follow(const PortalShortcuts& shortcuts) {
    for (const PortalShortcut& shortcut : shortcuts) {
        if (shortcut.id == QLatin1String(shortcutId)) {
            m_desktopTrigger =
                shortcut.properties.value(QStringLiteral("trigger_description")).toString();
            m_bound = true;
            return;
        }
    }
    m_desktopTrigger.clear();
}

void PortalHotKeyBackend::onShortcutsChanged(const QDBusMessage& message) {
    const QList<QVariant> arguments = message.arguments();
    if (arguments.size() < 2 || m_session.isEmpty() || sessionOf(arguments[0]) != m_session)
        return;
    const bool wasBound = m_bound;
    m_bound = false;
    follow(qdbus_cast<PortalShortcuts>(arguments[1]));
    if (wasBound && !m_bound)
        say(QStringLiteral("the desktop removed the shortcut for Capture Region; set one in "
                           "the desktop's keyboard settings or in kestrova's settings"));
}

void PortalHotKeyBackend::onSessionClosed(const QDBusMessage& message) {
    if (message.path() != m_session || m_session.isEmpty())
        return;
    m_bus.disconnect(QLatin1String(portal::service), m_session, QLatin1String(sessionInterface),
                     QStringLiteral("Closed"), this, SLOT(onSessionClosed(QDBusMessage)));
    m_session.clear();
    m_desktopTrigger.clear();
    m_bound = false;
    if (!m_key)
        return;
    if (m_reopened.isValid() &&
        m_reopened.elapsed() < std::chrono::milliseconds(reopenPause).count()) {
        say(QStringLiteral("the desktop keeps closing kestrova's shortcut session; %1 will not "
                           "start a capture until the key is set again")
                .arg(KeyNames::desktopString(*m_key, *m_modifiers)));
        return;
    }
    m_reopened.start();
    createSession(++m_generation);
}

void PortalHotKeyBackend::onActivated(const QDBusObjectPath& session, const QString& id, qulonglong,
                                      const QVariantMap&) {
    if (m_bound && session.path() == m_session && id == QLatin1String(shortcutId) && onPressed)
        onPressed();
}

} // namespace kestrova
