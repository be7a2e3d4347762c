#pragma once

#include <QObject>
#include <QString>

#include <optional>

class QLocalServer;
class QLocalSocket;

namespace kestrova {

// Lets a second `kestrova` hand a command to the running one: one short line per
// connection, over a socket only this user can reach.
class InstanceChannel final : public QObject {
    Q_OBJECT
public:
    enum class Command { ping, capture, settings, quit };

    static constexpr int maximumLineLength = 32;
    static constexpr int connectionTimeoutMs = 2000;
    static constexpr int maximumConnections = 128;

    // Inside $XDG_RUNTIME_DIR, else in a private folder of our own; one per display.
    static QString socketPath();
    static std::optional<Command> parse(const QByteArray& line);
    // The command a client's bytes begin with: their first line, at most
    // maximumLineLength long, without surrounding white space, must be one of the words.
    static std::optional<Command> readCommand(const QByteArray& received);
    static QByteArray word(Command command);

    // Sends a command to the running instance; false when none answers.
    static bool send(Command command);
    // Whether another process holds the instance lock, answering or not. Never blocks.
    static bool instanceExists();
    // Sends, and keeps trying for a while if an instance exists but is busy (its channel
    // full, its event loop held up); false when it never answered.
    static bool sendPatiently(Command command, int patienceMs = 6000);

    explicit InstanceChannel(QObject* parent = nullptr);
    ~InstanceChannel() override;

    // Starts serving; replaces a socket left behind by a crashed instance. False when
    // another instance already serves (or the socket cannot be made).
    bool listen();

signals:
    // A command from another kestrova process.
    void onCommand(kestrova::InstanceChannel::Command command);

private:
    void accept();
    void serve(QLocalSocket* socket);

    QLocalServer* m_server;
    int m_open = 0;
    int m_lock = -1; // held for as long as this process is the instance
};

} // namespace kestrova
