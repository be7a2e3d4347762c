#include "InstanceChannel.h"

#include "InstanceClient.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QThread>
#include <QTimer>

#include <cerrno>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace kestrova {

QString InstanceChannel::socketPath() {
    if (const std::optional<std::string> path = InstanceClient::socketPath())
        return QFile::decodeName(path->c_str());
    const std::string folder = InstanceClient::privateFolder();
    if (folder.empty())
        return {};
    // Socket paths are short; a session named by a long path is named by its hash.
    const QByteArray name = QByteArray::fromStdString(InstanceClient::sessionName());
    return QFile::decodeName(folder.c_str()) + QStringLiteral("/kestrova-") +
           QString::fromLatin1(
               QCryptographicHash::hash(name, QCryptographicHash::Sha1).toHex().left(16)) +
           QStringLiteral(".socket");
}

std::optional<InstanceChannel::Command> InstanceChannel::parse(const QByteArray& line) {
    for (const Command c : {Command::ping, Command::capture, Command::settings, Command::quit}) {
        if (line == word(c))
            return c;
    }
    return std::nullopt;
}

std::optional<InstanceChannel::Command> InstanceChannel::readCommand(const QByteArray& received) {
    const qsizetype end = received.indexOf('\n');
    const QByteArray line = end < 0 ? received : received.left(end);
    if (line.size() > maximumLineLength)
        return std::nullopt;
    return parse(line.trimmed());
}

QByteArray InstanceChannel::word(Command command) {
    switch (command) {
    case Command::ping:
        return QByteArrayLiteral("ping");
    case Command::capture:
        return QByteArrayLiteral("capture");
    case Command::settings:
        return QByteArrayLiteral("settings");
    case Command::quit:
        return QByteArrayLiteral("quit");
    }
    return {};
}

bool InstanceChannel::send(Command command) {
    const QString path = socketPath();
    return !path.isEmpty() &&
           InstanceClient::send(QFile::encodeName(path).toStdString(), word(command).toStdString());
}

bool InstanceChannel::instanceExists() {
    const QString path = socketPath();
    if (path.isEmpty())
        return false;
    const QByteArray lockPath = QFile::encodeName(path + QStringLiteral(".lock"));
    const int fd = ::open(lockPath.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0)
        return false;
    const bool held = ::flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    ::close(fd); // also drops the shared lock, if we got it
    return held;
}

bool InstanceChannel::sendPatiently(Command command, int patienceMs) {
    QElapsedTimer waited;
    waited.start();
    while (true) {
        if (send(command))
            return true;
        if (!instanceExists() || waited.elapsed() >= patienceMs)
            return false;
        // A busy instance says nothing of when it will be free: ask again shortly.
        QThread::msleep(200);
    }
}

InstanceChannel::InstanceChannel(QObject* parent)
    : QObject(parent), m_server(new QLocalServer(this)) {
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    m_server->setMaxPendingConnections(maximumConnections);
    connect(m_server, &QLocalServer::newConnection, this, &InstanceChannel::accept);
}

InstanceChannel::~InstanceChannel() {
    m_server->close();
    if (m_lock >= 0)
        ::close(m_lock);
}

bool InstanceChannel::listen() {
    const QString path = socketPath();
    if (path.isEmpty())
        return false;
    // The instance is whoever holds the lock; the system drops it when a process dies,
    // so a crashed instance's socket is known to be stale and is replaced.
    const QByteArray lockPath = QFile::encodeName(path + QStringLiteral(".lock"));
    m_lock = ::open(lockPath.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (m_lock < 0)
        return false;
    if (::flock(m_lock, LOCK_EX | LOCK_NB) != 0) {
        ::close(m_lock);
        m_lock = -1;
        return false;
    }
    QLocalServer::removeServer(path);
    return m_server->listen(path);
}

void InstanceChannel::accept() {
    while (QLocalSocket* socket = m_server->nextPendingConnection()) {
        if (m_open >= maximumConnections) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
        serve(socket);
    }
}

void InstanceChannel::serve(QLocalSocket* socket) {
    ++m_open;
    auto* timer = new QTimer(socket);
    timer->setSingleShot(true);
    // A client that says nothing, or never finishes its line, is dropped.
    connect(timer, &QTimer::timeout, socket, &QLocalSocket::abort);
    connect(socket, &QLocalSocket::disconnected, this, [this, socket] {
        --m_open;
        socket->deleteLater();
    });
    connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
        if (!socket->canReadLine()) {
            if (socket->bytesAvailable() > maximumLineLength)
                socket->abort();
            return;
        }
        const auto command = readCommand(socket->readLine(maximumLineLength + 2));
        socket->write(command ? "ok\n" : "error\n");
        socket->flush();
        socket->disconnectFromServer();
        if (command)
            emit onCommand(*command);
    });
    timer->start(connectionTimeoutMs);
}

} // namespace kestrova
