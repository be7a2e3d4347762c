#pragma once

#include <QDBusConnection>
#include <QProcess>
#include <QString>
#include <QTemporaryFile>

namespace kestrova::test {

// A session bus of the test's own: no service on it is started on demand, so a portal
// or a tray is there only when a test puts one there.
class PrivateBus final {
public:
    PrivateBus();
    ~PrivateBus();
    bool isRunning() const { return !m_address.isEmpty(); }
    QString address() const { return m_address; }
    // A new connection to the bus, with a unique name of its own.
    QDBusConnection connect(const QString& name) const;

private:
    QTemporaryFile m_config;
    QProcess m_daemon;
    QString m_address;
};

} // namespace kestrova::test
