#include "Settings.h"

#include "Palette.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

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

        Settings s(freshPath());
        s.setImageFormat(ImageFormat::jpg);
        QCOMPARE(s.imageFormat(), ImageFormat::jpg);
        s.setDefaultColorIndex(-3);
        QCOMPARE(s.defaultColorIndex(), 0);
        s.setDefaultColorIndex(42);
        QCOMPARE(s.defaultColorIndex(), 7);
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

    void corruptOrUnreadableFileReadsAsDefaults() {
        Settings corrupt(writeFile("\xff\xfe\x00garbage[[[\n=\n\x01\x02hotKeyCode=7\n"));
        QCOMPARE(corrupt.imageFormat(), ImageFormat::png);
        QCOMPARE(corrupt.defaultThickness(), 4.0);

        const QString path = writeFile("[General]\nimageFormat=jpg\nhotKeyModifiers=256\n");
        QFile::setPermissions(path, QFileDevice::WriteOwner);
        Settings unreadable(path);
        if (QFile(path).open(QIODevice::ReadOnly))
            QSKIP("running with privileges that read any file");
        QCOMPARE(unreadable.imageFormat(), ImageFormat::png);
        QCOMPARE(unreadable.hotKeyModifiers(), 768u);
    }
};

QTEST_MAIN(SettingsTest)
#include "tst_settings.moc"
