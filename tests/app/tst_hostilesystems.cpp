// The real kestrova binary against what a hostile or unusual system hands it: settings
// files Qt would choke on, a channel that is full or an instance that hangs, and
// shortcut values no recorder writes. Driven from outside, like a user would meet them.

#include "TestSupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLocalSocket>
#include <QTest>

#include <csignal>
#include <memory>
#include <vector>

#include <sys/stat.h>

using namespace kestrova;

namespace {

bool selectionShown(int timeoutMs = 8000) {
    return test::waitUntil(
        [] { return !test::findWindows(QStringLiteral("kestrova selection")).isEmpty(); },
        timeoutMs);
}

bool selectionGone() {
    return test::waitUntil(
        [] { return test::findWindows(QStringLiteral("kestrova selection")).isEmpty(); });
}

void escape() {
    test::xdotool({QStringLiteral("key"), QStringLiteral("Escape")});
}

QString configFile(const test::Kestrova& k) {
    return k.configHome() + QStringLiteral("/kestrova/kestrova.conf");
}

void writeConfig(const test::Kestrova& k, const QByteArray& contents) {
    QDir().mkpath(k.configHome() + QStringLiteral("/kestrova"));
    QFile f(configFile(k));
    f.open(QIODevice::WriteOnly);
    f.write(contents);
}

QByteArray readConfig(const test::Kestrova& k) {
    QFile f(configFile(k));
    f.open(QIODevice::ReadOnly);
    return f.readAll();
}

// A list nested 30,000 deep in the form Qt's reader decodes (and recursed into until
// the stack ran out), written the way Qt escapes bytes in a settings file.
QByteArray deeplyNestedVariant() {
    QByteArray out = "@Variant(";
    for (int i = 0; i < 30000; ++i)
        out += "\\0\\0\\0\\t\\0\\0\\0\\0\\x1";
    out += "\\0\\0\\0\\x2\\0\\0\\0\\0\\a)";
    return out;
}

// A region that claims 2^31 - 1 rectangles: Qt's reader kept reading for about an hour.
QByteArray hugeRegion() {
    return "@Variant(\\0\\0\\0\\x42\\0\\0\\0\\0\\x10\\xff\\xff\\xff\\xf0\\0\\0\\0\\x1\\x7f\\xff"
           "\\xff\\xff)";
}

// The socket of the running instance, once it serves; empty if it never does.
QString channelOf(const test::Kestrova& k) {
    QString path;
    test::waitUntil(
        [&] {
            const QStringList names =
                QDir(k.runtimeDir()).entryList({QStringLiteral("*.socket")}, QDir::System);
            if (!names.isEmpty())
                path = k.runtimeDir() + u'/' + names.first();
            return !path.isEmpty();
        },
        10000);
    return path;
}

} // namespace

class HostileSystemsTest final : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() {
        test::xdotool({QStringLiteral("mousemove"), QStringLiteral("10"), QStringLiteral("10")});
    }

    void hostileSettingsFilesStartOnDefaults_data() {
        QTest::addColumn<QByteArray>("contents");
        QTest::addColumn<bool>("pipe");
        QTest::newRow("nested list")
            << "[General]\nhotKeyCode=19\nunused=" + deeplyNestedVariant() + "\n"
            << false;
        QTest::newRow("huge region")
            << "[General]\nimageFormat=jpg\nhotKeyModifiers=" + hugeRegion() + "\n"
            << false;
        QTest::newRow("typed everywhere") << QByteArray("[General]\nhotKeyCode=@Rect(1 2 3 4)\n"
                                                        "saveFolderBookmark=@Variant(\\0)\n")
                                          << false;
        QTest::newRow("pipe") << QByteArray() << true;
    }

    void hostileSettingsFilesStartOnDefaults() {
        QFETCH(QByteArray, contents);
        QFETCH(bool, pipe);
        test::Kestrova k;
        if (pipe) {
            QDir().mkpath(k.configHome() + QStringLiteral("/kestrova"));
            QCOMPARE(::mkfifo(QFile::encodeName(configFile(k)).constData(), 0600), 0);
        } else {
            writeConfig(k, contents);
        }
        QVERIFY(k.start());
        // It comes up at once (before: a crash, an hour, or for ever) and serves the channel.
        QVERIFY2(test::waitUntil(
                     [&] {
                         return k.errorOutput().contains("settings file") ||
                                k.errorOutput().contains("ignoring");
                     },
                     5000),
                 k.errorOutput().constData());
        QCOMPARE(k.runAgain({QStringLiteral("--capture")}), 0);
        QVERIFY(selectionShown());
        escape();
        QVERIFY(selectionGone());
        QCOMPARE(k.process().state(), QProcess::Running);
        // The user's file is left as it was.
        if (pipe) {
            struct stat info {};
            QCOMPARE(::stat(QFile::encodeName(configFile(k)).constData(), &info), 0);
            QVERIFY(S_ISFIFO(info.st_mode));
        } else {
            QCOMPARE(readConfig(k), contents);
        }
    }

    void storedModifiersWithoutARealModifierGrabNoKey() {
        test::Kestrova k;
        writeConfig(k, "[General]\nhotKeyCode=19\nhotKeyModifiers=1024\n");
        QVERIFY(k.start());
        QVERIFY(test::waitUntil([&] { return k.errorOutput().contains("no modifier"); }, 8000));
        // Typing 2 elsewhere is typing 2, not a capture.
        test::xdotool({QStringLiteral("key"), QStringLiteral("2")});
        test::xdotool({QStringLiteral("key"), QStringLiteral("shift+super+2")});
        QTest::qWait(700);
        QVERIFY(test::findWindows(QStringLiteral("kestrova selection")).isEmpty());
        QCOMPARE(k.errorOutput().count("no modifier"), 1);
    }

    void aFullChannelIsWaitedForNotJoined() {
        test::Kestrova k;
        QVERIFY(k.start());
        const QString socketPath = channelOf(k);
        QVERIFY(!socketPath.isEmpty());
        // 128 connections that say nothing fill the channel for two seconds.
        std::vector<std::unique_ptr<QLocalSocket>> held;
        for (int i = 0; i < 130; ++i) {
            held.push_back(std::make_unique<QLocalSocket>());
            held.back()->connectToServer(socketPath);
            held.back()->waitForConnected(500);
        }
        QTest::qWait(200);
        QByteArray err;
        QCOMPARE(k.runAgain({QStringLiteral("--capture")}, &err), 0);
        QVERIFY2(err.isEmpty(), err.constData());
        QVERIFY(selectionShown());
        escape();
        QVERIFY(selectionGone());
        held.clear();

        // There is still exactly one instance: quitting it leaves none.
        QCOMPARE(k.runAgain({QStringLiteral("--quit")}), 0);
        QVERIFY(k.waitForExit(5000));
        QCOMPARE(k.runAgain({QStringLiteral("--quit")}, &err), 1);
        QVERIFY(err.contains("not running"));
    }

    void aHangingInstanceIsNeverJoinedBySecondOne() {
        test::Kestrova k;
        QVERIFY(k.start());
        QVERIFY(!channelOf(k).isEmpty());
        const auto pid = static_cast<pid_t>(k.process().processId());

        // Held up for a moment: the request waits and then arrives.
        ::kill(pid, SIGSTOP);
        QProcess client;
        client.setProcessEnvironment(k.environment());
        client.start(QStringLiteral(KESTROVA_BINARY), {QStringLiteral("--capture")});
        QTest::qWait(3000);
        ::kill(pid, SIGCONT);
        QVERIFY(client.waitForFinished(15000));
        QCOMPARE(client.exitCode(), 0);
        QVERIFY(selectionShown());
        escape();
        QVERIFY(selectionGone());

        // Held up for good: the client gives up with a clear message and a failure status
        // instead of carrying on as a second, unreachable instance.
        ::kill(pid, SIGSTOP);
        QByteArray err;
        const int status = k.runAgain({QStringLiteral("--capture")}, &err);
        ::kill(pid, SIGCONT);
        QCOMPARE(status, 1);
        QVERIFY2(err.contains("does not answer"), err.constData());
        QCOMPARE(k.runAgain({QStringLiteral("--quit")}), 0);
        QVERIFY(k.waitForExit(5000));
    }
};

QTEST_MAIN(HostileSystemsTest)
#include "tst_hostilesystems.moc"
