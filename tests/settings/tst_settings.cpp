#include "Settings.h"

#include "LogCapture.h"
#include "Palette.h"
#include "SettingsFile.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace kestrova;

class SettingsTest final : public QObject {
    Q_OBJECT
private:
    QTemporaryDir m_dir;
    int m_n = 0;

    QString freshPath() { return m_dir.filePath(QStringLiteral("s%1.conf").arg(++m_n)); }
    QString writeFile(const QByteArray& contents) {
        const QString path = freshPath();
        QFile f(path);
        f.open(QIODevice::WriteOnly);
        f.write(contents);
        return path;
    }

private slots:
    void initTestCase() {
        qputenv("HOME", m_dir.path().toUtf8());
        qputenv("XDG_CONFIG_HOME", m_dir.filePath(QStringLiteral("config")).toUtf8());
    }

    void firstRunHasTheRegisteredDefaults() {
        Settings s(freshPath());
        QVERIFY(s.hasHotKey());
        QCOMPARE(s.hotKeyCode(), 19u);
        QCOMPARE(s.hotKeyModifiers(), 768u);
        QCOMPARE(s.imageFormat(), ImageFormat::png);
        QCOMPARE(s.defaultColorIndex(), 0);
        QCOMPARE(s.defaultColor(), Palette::colors()[0]);
        QCOMPARE(s.defaultThickness(), 4.0);
        QCOMPARE(s.saveFolderURL(), Settings::defaultSaveFolder());
        QVERIFY(Settings::defaultSaveFolder().endsWith(QStringLiteral("/Pictures/kestrova")));
        QVERIFY(!QFile::exists(s.fileName())); // reading writes nothing
    }

    void sharedStoreLivesUnderTheConfigHome() {
        QCOMPARE(Settings::shared().fileName(),
                 m_dir.filePath(QStringLiteral("config/kestrova/kestrova.conf")));
    }

    void hotKeyChangesAreAnnouncedOnceAndPersist() {
        const QString path = freshPath();
        Settings s(path);
        QSignalSpy changed(&s, &Settings::hotKeyChanged);
        s.clearHotKey();
        QCOMPARE(changed.count(), 1);
        QVERIFY(!s.hasHotKey());
        QCOMPARE(s.hotKeyCode(), 0u);
        QCOMPARE(Settings(path).hotKeyModifiers(), 0u); // stored zeros, not the default back

        s.setHotKey(0, 0x100);
        QCOMPARE(changed.count(), 2);
        QVERIFY(s.hasHotKey()); // key code 0 (A) is a real key
        s.setHotKey(5, 0);
        QVERIFY(!s.hasHotKey());
        s.setHotKey(4294967295u, 0x1B00);
        QCOMPARE(Settings(path).hotKeyCode(), 4294967295u);
    }

    void hostileStoredHotKeysReadAsNoKey() {
        for (const QByteArray& bad :
             {QByteArray("-1"), QByteArray("4294967296"), QByteArray("99999999999999999999"),
              QByteArray("ctrl"), QByteArray("")}) {
            Settings s(
                writeFile("[General]\nhotKeyCode=" + bad + "\nhotKeyModifiers=" + bad + "\n"));
            QCOMPARE(s.hotKeyCode(), 0u);
            QCOMPARE(s.hotKeyModifiers(), 0u);
            QVERIFY2(!s.hasHotKey(), bad.constData());
        }
    }

    void formatColourAndThicknessAreFiltered() {
        for (const QByteArray& other : {QByteArray("JPG"), QByteArray("jpeg"), QByteArray(""),
                                        QByteArray("42"), QByteArray("jpg ")})
            QCOMPARE(
                Settings(writeFile("[General]\nimageFormat=\"" + other + "\"\n")).imageFormat(),
                ImageFormat::png);
        QCOMPARE(Settings(writeFile("[General]\nimageFormat=jpg\n")).imageFormat(),
                 ImageFormat::jpg);

        const QString path = freshPath();
        Settings s(path);
        s.setImageFormat(ImageFormat::jpg);
        QCOMPARE(s.imageFormat(), ImageFormat::jpg);
        // What is stored is the clamped index itself, not the value asked for.
        const auto stored = [&] {
            QFile file(path);
            return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
        };
        s.setDefaultColorIndex(-3);
        QCOMPARE(s.defaultColorIndex(), 0);
        QVERIFY2(stored().contains("\ndefaultColorIndex=0\n"), stored().constData());
        s.setDefaultColorIndex(42);
        QCOMPARE(s.defaultColorIndex(), 7);
        QVERIFY2(stored().contains("\ndefaultColorIndex=7\n"), stored().constData());
        QCOMPARE(Settings(writeFile("[General]\ndefaultColorIndex=-9\n")).defaultColorIndex(), 0);
        QCOMPARE(Settings(writeFile("[General]\ndefaultColorIndex=x\n")).defaultColorIndex(), 0);
        s.setDefaultThickness(5);
        QCOMPARE(s.defaultThickness(), 4.0);
        s.setDefaultThickness(6);
        QCOMPARE(s.defaultThickness(), 6.0);
        QCOMPARE(Settings(writeFile("[General]\ndefaultThickness=thick\n")).defaultThickness(),
                 4.0);
    }

    void saveFolderResolvesOnlyWhileItExists() {
        QTemporaryDir folder;
        Settings s(freshPath());
        s.setSaveFolder(folder.path());
        QCOMPARE(s.saveFolderURL(), folder.path());
        folder.remove();
        QCOMPARE(s.saveFolderURL(), Settings::defaultSaveFolder());

        // A folder that is not there is not stored; the earlier choice stays.
        QTemporaryDir kept;
        s.setSaveFolder(kept.path());
        s.setSaveFolder(kept.path() + QStringLiteral("/missing"));
        QCOMPARE(s.saveFolderURL(), kept.path());

        for (const QByteArray& garbage :
             {QByteArray("@ByteArray(\\0\\x1\\xff\\xfe)"), QByteArray("relative/path"),
              QByteArray("@ByteArray(/etc/passwd)"), QByteArray("17")})
            QCOMPARE(Settings(writeFile("[General]\nsaveFolderBookmark=" + garbage + "\n"))
                         .saveFolderURL(),
                     Settings::defaultSaveFolder());
    }

    void corruptOversizedOrUnreadableFileReadsAsDefaults() {
        // NUL bytes and bytes that are no UTF-8, before a line that would otherwise count.
        const QByteArray corrupt("\xff\xfe\x00garbage[[[\n=\n\x01\x02\nimageFormat=jpg\n", 35);
        QVERIFY(corrupt.contains('\0') && corrupt.endsWith("imageFormat=jpg\n"));
        QCOMPARE(Settings(writeFile(corrupt)).imageFormat(), ImageFormat::png);
        QCOMPARE(Settings(writeFile("[General]\nimageFormat=jpg\n")).imageFormat(),
                 ImageFormat::jpg);

        // Far larger than any file kestrova writes: not read at all.
        const QByteArray padding(SettingsFile::maximumSize, ';');
        QCOMPARE(Settings(writeFile("[General]\nimageFormat=jpg\n" + padding)).imageFormat(),
                 ImageFormat::png);

        // Unreadable. Root reads any file, so the check runs as nobody in a child.
        const QString path = writeFile("[General]\nimageFormat=jpg\nhotKeyModifiers=256\n");
        QFile::setPermissions(path, QFileDevice::WriteOwner);
        const pid_t child = ::fork();
        QVERIFY(child >= 0);
        if (child == 0) {
            if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0))
                ::_exit(3);
            if (QFile(path).open(QIODevice::ReadOnly))
                ::_exit(4);
            Settings unreadable(path);
            const bool defaults = unreadable.imageFormat() == ImageFormat::png &&
                                  unreadable.hotKeyModifiers() == 768u;
            ::_exit(defaults ? 0 : 1);
        }
        int status = -1;
        QCOMPARE(::waitpid(child, &status, 0), child);
        QVERIFY(WIFEXITED(status));
        QCOMPARE(WEXITSTATUS(status), 0);
    }

    void typedValuesAreNeverDecodedAndReadAsBadInput() {
        // What Qt's own reader would decode: an int 7, a rectangle, a double 6, a list
        // nested a thousand deep, bytes in a typed wrapper. kestrova writes none of these.
        QByteArray nested;
        for (int i = 0; i < 1000; ++i)
            nested += "\\0\\0\\0\\t\\0\\0\\0\\0\\x1";
        const QByteArray file =
            "[General]\n"
            "hotKeyCode=@Variant(\\0\\0\\0\\x2\\0\\0\\0\\0\\a)\n"
            "hotKeyModifiers=@Variant(" +
            nested +
            ")\n"
            "imageFormat=@String(jpg)\n"
            "defaultColorIndex=@Rect(3 3 10 10)\n"
            "defaultThickness=@Variant(\\0\\0\\0\\x6\\0@\\x18\\0\\0\\0\\0\\0\\0)\n"
            "saveFolderBookmark=@Variant(\\0\\0\\0\\f\\0\\0\\0\\0\\x4/tmp)\n";
        const QString path = writeFile(file);
        test::LogCapture log;
        Settings s(path);
        QCOMPARE(s.hotKeyCode(), 0u);
        QCOMPARE(s.hotKeyModifiers(), 0u);
        QVERIFY(!s.hasHotKey());
        QCOMPARE(s.imageFormat(), ImageFormat::png);
        QCOMPARE(s.defaultColorIndex(), 0);
        QCOMPARE(s.defaultThickness(), 4.0);
        QCOMPARE(s.saveFolderURL(), Settings::defaultSaveFolder());
        const QByteArray said = log.text();
        QCOMPARE(said.count('\n'), 1);
        QVERIFY2(said.contains("hotKeyCode") && said.contains("saveFolderBookmark"),
                 said.constData());

        // Reading never rewrites the user's file.
        QFile back(path);
        QVERIFY(back.open(QIODevice::ReadOnly));
        QCOMPARE(back.readAll(), file);
    }

    void filesReadTheSameByKestrovaAndByQt() {
        QTemporaryDir folder(m_dir.filePath(QStringLiteral("a, b; \"c\" é=XXXXXX")));
        QVERIFY(folder.isValid());
        // Written by Qt's INI writer, as earlier versions did: kestrova reads it.
        const QString old = freshPath();
        {
            QSettings qt(old, QSettings::IniFormat);
            qt.setValue(QStringLiteral("hotKeyCode"), 101);
            qt.setValue(QStringLiteral("hotKeyModifiers"), 0x1200);
            qt.setValue(QStringLiteral("imageFormat"), QStringLiteral("jpg"));
            qt.setValue(QStringLiteral("defaultThickness"), 6.0);
            qt.setValue(QStringLiteral("saveFolderBookmark"), folder.path().toUtf8());
        }
        Settings s(old);
        QCOMPARE(s.hotKeyCode(), 101u);
        QCOMPARE(s.hotKeyModifiers(), 0x1200u);
        QCOMPARE(s.imageFormat(), ImageFormat::jpg);
        QCOMPARE(s.defaultThickness(), 6.0);
        QCOMPARE(s.saveFolderURL(), folder.path());

        // Written by kestrova: Qt's reader (an older kestrova) reads the same values.
        const QString path = freshPath();
        {
            Settings mine(path);
            mine.setHotKey(4294967295u, 0x1B00);
            mine.setImageFormat(ImageFormat::jpg);
            mine.setDefaultColorIndex(5);
            mine.setDefaultThickness(2);
            mine.setSaveFolder(folder.path());
        }
        QSettings qt(path, QSettings::IniFormat);
        QCOMPARE(qt.value(QStringLiteral("hotKeyCode")).toLongLong(), 4294967295LL);
        QCOMPARE(qt.value(QStringLiteral("hotKeyModifiers")).toInt(), 0x1B00);
        QCOMPARE(qt.value(QStringLiteral("imageFormat")).toString(), QStringLiteral("jpg"));
        QCOMPARE(qt.value(QStringLiteral("defaultColorIndex")).toInt(), 5);
        QCOMPARE(qt.value(QStringLiteral("defaultThickness")).toDouble(), 2.0);
        QCOMPARE(qt.value(QStringLiteral("saveFolderBookmark")).toByteArray(),
                 folder.path().toUtf8());
        QCOMPARE(Settings(path).saveFolderURL(), folder.path());
    }

    void pipesAndFoldersAreRefusedWithoutWaiting() {
        const QString pipe = freshPath();
        QCOMPARE(::mkfifo(QFile::encodeName(pipe).constData(), 0600), 0);
        const QString folder = freshPath();
        QVERIFY(QDir().mkdir(folder));
        for (const QString& path : {pipe, folder}) {
            test::LogCapture log;
            Settings s(path); // a pipe nobody writes to would block an open() for ever
            QCOMPARE(s.imageFormat(), ImageFormat::png);
            QCOMPARE(s.hotKeyModifiers(), 768u);
            // A change still holds for this session, and nothing is written.
            s.setImageFormat(ImageFormat::jpg);
            QCOMPARE(s.imageFormat(), ImageFormat::jpg);
            const QByteArray said = log.text();
            QCOMPARE(said.count('\n'), 1);
            QVERIFY2(said.contains(QFile::encodeName(path)), said.constData());
        }
        QVERIFY(QFileInfo(folder).isDir());
        struct stat info {};
        QCOMPARE(::stat(QFile::encodeName(pipe).constData(), &info), 0);
        QVERIFY(S_ISFIFO(info.st_mode));
    }
};

QTEST_MAIN(SettingsTest)
#include "tst_settings.moc"
