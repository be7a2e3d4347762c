#include "InstanceChannel.h"
#include "InstanceClient.h"

#include "TestSupport.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QLocalSocket>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <random>
#include <thread>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using namespace kestrova;
using Command = InstanceChannel::Command;

namespace {

// A client on a thread of its own, so the channel's event loop keeps running here.
template <typename F> bool onClientThread(F work) {
    std::atomic<bool> done = false;
    bool result = false;
    std::thread client([&] {
        result = work();
        done = true;
    });
    test::waitUntil([&] { return done.load(); }, 20000);
    client.join();
    return result;
}

QByteArray exchange(const QByteArray& bytes, int waitMs = 3000) {
    QLocalSocket socket;
    socket.connectToServer(InstanceChannel::socketPath());
    if (!socket.waitForConnected(2000))
        return "no connection";
    socket.write(bytes);
    socket.waitForBytesWritten(2000);
    QByteArray reply;
    while (socket.waitForReadyRead(waitMs))
        reply += socket.readAll();
    return reply;
}

} // namespace

class InstanceChannelTest final : public QObject {
    Q_OBJECT
private:
    QTemporaryDir m_runtime;

private slots:
    void initTestCase() {
        QFile::setPermissions(m_runtime.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                    QFileDevice::ExeOwner);
        qputenv("XDG_RUNTIME_DIR", m_runtime.path().toUtf8());
        qputenv("DISPLAY", ":42");
    }

    void wordsRoundTripAndNothingElseParses() {
        for (const Command c : {Command::ping, Command::capture, Command::settings, Command::quit})
            QCOMPARE(InstanceChannel::parse(InstanceChannel::word(c)), std::optional<Command>(c));
        for (const QByteArray& bad : {QByteArray("CAPTURE"), QByteArray("capture now"),
                                      QByteArray(""), QByteArray("quit\0x", 6)})
            QCOMPARE(InstanceChannel::parse(bad), std::nullopt);
        QCOMPARE(InstanceChannel::socketPath(),
                 m_runtime.path() + QStringLiteral("/kestrova-_42.socket"));
        // A session named by a long path is named by its hash, which only the channel
        // computes: the launcher then leaves the command to it.
        qputenv("WAYLAND_DISPLAY", QByteArray("/run/user/1000/") + QByteArray(40, 'w'));
        QVERIFY(!InstanceClient::socketPath());
        QVERIFY(
            QFileInfo(InstanceChannel::socketPath())
                .fileName()
                .contains(QRegularExpression(QStringLiteral("^kestrova-[0-9a-f]{16}\\.socket$"))));
        qunsetenv("WAYLAND_DISPLAY");
    }

    void commandsReachTheRunningInstance() {
        InstanceChannel channel;
        QVERIFY(channel.listen());
        std::vector<Command> received;
        connect(&channel, &InstanceChannel::onCommand, [&](Command c) { received.push_back(c); });
        QVERIFY(onClientThread([] { return InstanceChannel::send(Command::capture); }));
        QVERIFY(test::waitUntil([&] { return received.size() == 1; }));
        QCOMPARE(received.front(), Command::capture);

        InstanceChannel second;
        QVERIFY(!second.listen()); // one instance per user and display
    }

    void garbageIsRefusedWithoutBlocking() {
        InstanceChannel channel;
        QVERIFY(channel.listen());
        int commands = 0;
        connect(&channel, &InstanceChannel::onCommand,
                [&](Command c) { commands += c == Command::settings; });

        std::mt19937 random(3);
        QByteArray noise(4096, '\0');
        for (char& c : noise)
            c = static_cast<char>(random());
        QVERIFY(onClientThread([&] { return exchange(noise + '\n') != "ok\n"; }));
        QVERIFY(onClientThread([] { return exchange("reboot\n") == "error\n"; }));
        QVERIFY(onClientThread([] { return exchange(QByteArray(1 << 20, 'c')) != "ok\n"; }));

        // A crowd of connections that say nothing, and one that follows them.
        const bool crowdServed = onClientThread([] {
            std::vector<std::unique_ptr<QLocalSocket>> crowd;
            for (int i = 0; i < 40; ++i) {
                crowd.push_back(std::make_unique<QLocalSocket>());
                crowd.back()->connectToServer(InstanceChannel::socketPath());
                crowd.back()->waitForConnected(200);
            }
            return InstanceChannel::send(Command::ping);
        });
        QVERIFY(crowdServed);
        QVERIFY(onClientThread([] {
            QLocalSocket silent;
            silent.connectToServer(InstanceChannel::socketPath());
            silent.waitForConnected(1000);
            // Dropped by the instance after its time-out, not kept forever.
            return silent.waitForDisconnected(InstanceChannel::connectionTimeoutMs + 3000);
        }));
        QVERIFY(onClientThread([] { return InstanceChannel::send(Command::settings); }));
        QVERIFY(test::waitUntil([&] { return commands == 1; }));
    }

    void staleSocketOfACrashedInstanceIsReplaced() {
        const QByteArray path = QFile::encodeName(InstanceChannel::socketPath());
        ::unlink(path.constData());
        // What a killed instance leaves: a bound socket file nobody listens on.
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.constData(), sizeof(address.sun_path) - 1);
        QCOMPARE(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
        ::close(fd);
        QVERIFY(QFile::exists(QString::fromLocal8Bit(path)));

        InstanceChannel channel;
        QVERIFY(channel.listen());
        QVERIFY(onClientThread([] { return InstanceChannel::send(Command::ping); }));
    }
};

QTEST_GUILESS_MAIN(InstanceChannelTest)
#include "tst_instancechannel.moc"
