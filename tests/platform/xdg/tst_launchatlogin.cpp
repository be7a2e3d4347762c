#include "LaunchAtLogin.h"

#include "Unwritable.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

using namespace kestrova;

class LaunchAtLoginTest final : public QObject {
    Q_OBJECT
private:
    QTemporaryDir m_config;

    static QByteArray read(const QString& path) {
        QFile f(path);
        f.open(QIODevice::ReadOnly);
        return f.readAll();
    }
    static void write(const QString& path, const QByteArray& contents) {
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(contents);
    }

private slots:
    void init() {
        QDir(m_config.path()).removeRecursively();
        QDir().mkpath(m_config.path());
        qputenv("XDG_CONFIG_HOME", m_config.path().toUtf8());
    }

    void roundTripWritesAndRemovesTheEntry() {
        const QString entry = m_config.path() + QStringLiteral("/autostart/kestrova.desktop");
        QCOMPARE(LaunchAtLogin::entryPath(), entry);
        QVERIFY(!LaunchAtLogin::isEnabled());
        QCOMPARE(LaunchAtLogin::setEnabled(false), std::nullopt); // already off: nothing to do

        QCOMPARE(LaunchAtLogin::setEnabled(true), std::nullopt);
        QVERIFY(LaunchAtLogin::isEnabled());
        const QByteArray contents = read(entry);
        QVERIFY(contents.startsWith("[Desktop Entry]\n"));
        QVERIFY(contents.contains("\nType=Application\n"));
        QVERIFY(contents.contains("\nExec=\"" + QCoreApplication::applicationFilePath().toUtf8() +
                                  "\"\n"));
        // Nothing but the entry itself is left in the folder (no temporary files).
        QCOMPARE(QDir(QFileInfo(entry).absolutePath()).entryList(QDir::Files | QDir::Hidden),
                 QStringList{QStringLiteral("kestrova.desktop")});
        QCOMPARE(LaunchAtLogin::setEnabled(true), std::nullopt);
        QCOMPARE(read(entry), contents);
        // A user's own entry that is on already is left as it is, not rewritten.
        const QByteArray own = "[Desktop Entry]\nType=Application\nExec=kestrova --mine\n";
        write(entry, own);
        const auto inode = [&] {
            struct stat st {};
            ::stat(QFile::encodeName(entry).constData(), &st);
            return st.st_ino;
        };
        const auto before = inode();
        QCOMPARE(LaunchAtLogin::setEnabled(true), std::nullopt);
        QCOMPARE(read(entry), own);
        QCOMPARE(inode(), before); // not even replaced by a copy of itself

        QCOMPARE(LaunchAtLogin::setEnabled(false), std::nullopt);
        QVERIFY(!QFile::exists(entry));
        QVERIFY(!LaunchAtLogin::isEnabled());
    }

    void hiddenOrDisabledEntriesReadAsOff() {
        const QString entry = LaunchAtLogin::entryPath();
        write(entry, "[Desktop Entry]\nType=Application\nExec=kestrova\nHidden=true\n");
        QVERIFY(!LaunchAtLogin::isEnabled());
        write(entry, "[Desktop Entry]\nExec=kestrova\nX-GNOME-Autostart-enabled=false\n");
        QVERIFY(!LaunchAtLogin::isEnabled());
        write(entry, "[Desktop Action x]\nHidden=true\n[Desktop Entry]\nExec=kestrova\n");
        QVERIFY(LaunchAtLogin::isEnabled()); // another group's key does not count
        // Turning off an entry that is off already leaves the user's file alone.
        for (const QByteArray& off :
             {QByteArray("[Desktop Entry]\nExec=kestrova\nHidden=true\n"),
              QByteArray("[Desktop Entry]\nExec=kestrova\nX-GNOME-Autostart-enabled=false\n")}) {
            write(entry, off);
            QCOMPARE(LaunchAtLogin::setEnabled(false), std::nullopt);
            QCOMPARE(read(entry), off);
        }
        QCOMPARE(LaunchAtLogin::failureMessage(true),
                 QStringLiteral("Couldn't enable launch at login"));
        QCOMPARE(LaunchAtLogin::failureMessage(false),
                 QStringLiteral("Couldn't disable launch at login"));
        // Turning on replaces a hidden entry with a live one.
        write(entry, "[Desktop Entry]\nExec=kestrova\nHidden=true\n");
        QCOMPARE(LaunchAtLogin::setEnabled(true), std::nullopt);
        QVERIFY(LaunchAtLogin::isEnabled());
    }

    void unwritableAutostartFolderFailsAndChangesNothing() {
        test::UnwritableFolder unwritable;
        qputenv("XDG_CONFIG_HOME",
                (unwritable.path() + QStringLiteral("/kestrova-config")).toUtf8());
        const Status failure = LaunchAtLogin::setEnabled(true);
        QVERIFY(failure.has_value());
        QVERIFY2(failure->description.contains(unwritable.path()),
                 qPrintable(failure->description));
        QVERIFY(!LaunchAtLogin::isEnabled());

        // A file standing where the folder should be.
        qputenv("XDG_CONFIG_HOME", m_config.path().toUtf8());
        write(m_config.path() + QStringLiteral("/autostart"), "not a folder");
        const Status blocked = LaunchAtLogin::setEnabled(true);
        QVERIFY(blocked.has_value());
        QVERIFY(!blocked->description.isEmpty());
        QVERIFY(!LaunchAtLogin::isEnabled());
    }

    void execArgumentsAreQuotedAsDesktopEntriesRequire() {
        QCOMPARE(LaunchAtLogin::quoteExecArgument(QStringLiteral("/usr/bin/kestrova")),
                 QStringLiteral("\"/usr/bin/kestrova\""));
        QCOMPARE(LaunchAtLogin::quoteExecArgument(QStringLiteral("/opt/my apps/k")),
                 QStringLiteral("\"/opt/my apps/k\""));
        QCOMPARE(LaunchAtLogin::quoteExecArgument(QStringLiteral("/a\"b$c`d\\e%f")),
                 QStringLiteral("\"/a\\\\\"b\\\\$c\\\\`d\\\\\\\\e%%f\""));
    }
};

QTEST_GUILESS_MAIN(LaunchAtLoginTest)
#include "tst_launchatlogin.moc"
