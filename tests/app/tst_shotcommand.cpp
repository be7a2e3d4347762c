// Screenshots from the command line: the real binary on an X server of the test's own
// with two monitors at different scales, showing a picture whose every pixel differs.

#include "TestSupport.h"

#include <QApplication>
#include <QDir>
#include <QPainter>
#include <QScreen>
#include <QTest>
#include <QWidget>

using namespace kestrova;

namespace {

test::XServer* server = nullptr;
constexpr int desktopWidth = 5120, desktopHeight = 1440; // LEFT and RIGHT, 2560 × 1440 pixels each

// The picture, over the whole X screen, above everything.
class PatternWindow final : public QWidget {
public:
    PatternWindow()
        : QWidget(nullptr, Qt::Window | Qt::FramelessWindowHint | Qt::BypassWindowManagerHint),
          m_pattern(test::pattern(desktopWidth, desktopHeight)) {
        setAttribute(Qt::WA_OpaquePaintEvent);
        setGeometry(0, 0, desktopWidth, desktopHeight);
    }
    const QImage& pattern() const { return m_pattern; }

protected:
    void paintEvent(QPaintEvent*) override { QPainter(this).drawImage(0, 0, m_pattern); }

private:
    QImage m_pattern;
};

// Whether a `kestrova … --clipboard` process is still there.
bool clipboardServerRuns() {
    for (const QString& pid : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        QFile cmdline(QStringLiteral("/proc/%1/cmdline").arg(pid));
        if (cmdline.open(QIODevice::ReadOnly) && cmdline.readAll().endsWith("--clipboard\0"))
            return true;
    }
    return false;
}

struct Shot {
    int status = -1;
    QByteArray out, err;
};

} // namespace

class ShotCommandTest final : public QObject {
    Q_OBJECT
private:
    std::unique_ptr<test::Kestrova> m_kestrova;
    std::unique_ptr<PatternWindow> m_window;
    QTemporaryDir m_dir;

    // kestrova with LEFT at scale 2 and RIGHT at 1.
    Shot shoot(const QStringList& arguments) {
        QProcessEnvironment env = m_kestrova->environment();
        env.insert(QStringLiteral("QT_SCREEN_SCALE_FACTORS"), QStringLiteral("LEFT=2;RIGHT=1"));
        QProcess process;
        process.setProcessEnvironment(env);
        process.start(QStringLiteral(KESTROVA_BINARY), arguments);
        Shot shot;
        if (!process.waitForStarted(5000) || !process.waitForFinished(20000))
            return shot;
        shot.status = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
        shot.out = process.readAllStandardOutput();
        shot.err = process.readAllStandardError();
        return shot;
    }

    QImage shotOf(const QStringList& arguments) {
        const QString file = m_dir.filePath(QStringLiteral("shot.png"));
        const Shot shot = shoot(arguments + QStringList{QStringLiteral("--output"), file});
        if (shot.status != 0)
            qWarning("kestrova: %d %s", shot.status, shot.err.constData());
        const QImage image = test::read(file);
        QFile::remove(file);
        return image.convertToFormat(QImage::Format_RGB32);
    }

private slots:
    void initTestCase() {
        QVERIFY(m_dir.isValid());
        m_kestrova = std::make_unique<test::Kestrova>(server->display());
        m_window = std::make_unique<PatternWindow>();
        m_window->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
        QTest::qWait(300);
    }

    void screensAndRegionsAreTheScreensPixelsExactly() {
        const QImage& p = m_window->pattern();
        QCOMPARE(shotOf({QStringLiteral("--screen"), QStringLiteral("0")}),
                 p.copy(0, 0, 2560, 1440));
        QCOMPARE(shotOf({QStringLiteral("--screen"), QStringLiteral("RIGHT")}),
                 p.copy(2560, 0, 2560, 1440));
        QCOMPARE(shotOf({QStringLiteral("--screen"), QStringLiteral("all")}), p);
        // Logical pixels: LEFT is 1280 × 720 at scale 2; Qt keeps RIGHT's origin at 2560.
        QCOMPARE(shotOf({QStringLiteral("--region"), QStringLiteral("100,100,300,200")}),
                 p.copy(200, 200, 600, 400));
        QCOMPARE(shotOf({QStringLiteral("--region"), QStringLiteral("2610,60,400,300")}),
                 p.copy(2610, 60, 400, 300));
        const QImage jpeg = [&] {
            const QString file = m_dir.filePath(QStringLiteral("shot.jpeg"));
            shoot({QStringLiteral("--region"), QStringLiteral("2610,60,40,30"),
                   QStringLiteral("--output"), file});
            const QImage image(file);
            QFile::remove(file);
            return image;
        }();
        QCOMPARE(jpeg.size(), QSize(40, 30));

        // Standard output carries a PNG and nothing else.
        const Shot piped = shoot({QStringLiteral("--region"), QStringLiteral("2610,60,400,300"),
                                  QStringLiteral("--output"), QStringLiteral("-")});
        QCOMPARE(piped.status, 0);
        QVERIFY(piped.out.startsWith("\x89PNG\r\n\x1a\n"));
        QVERIFY(piped.out.endsWith(QByteArray("IEND\xae\x42\x60\x82", 8)));
        QCOMPARE(test::decode(piped.out).convertToFormat(QImage::Format_RGB32),
                 p.copy(2610, 60, 400, 300));
        QVERIFY(piped.err.isEmpty());

        // Without an output, into the save folder under a new name; --verbose names it.
        const Shot saved = shoot(
            {QStringLiteral("--screen"), QStringLiteral("RIGHT"), QStringLiteral("--verbose")});
        QCOMPARE(saved.status, 0);
        const QString path = QString::fromLocal8Bit(saved.err).trimmed();
        QVERIFY2(path.startsWith(m_kestrova->picturesDir() + QStringLiteral("/kestrova_")),
                 saved.err.constData());
        QCOMPARE(test::read(path).convertToFormat(QImage::Format_RGB32),
                 p.copy(2560, 0, 2560, 1440));
    }

    void theClipboardIsServedUntilAnotherProgramTakesIt() {
        const Shot shot = shoot({QStringLiteral("--region"), QStringLiteral("2610,60,64,48"),
                                 QStringLiteral("--clipboard")});
        QCOMPARE(shot.status, 0); // returns at once; another process serves the clipboard
        QByteArray png;
        const QStringList read{QStringLiteral("-selection"), QStringLiteral("clipboard"),
                               QStringLiteral("-t"), QStringLiteral("image/png"),
                               QStringLiteral("-o")};
        QCOMPARE(server->client(QStringLiteral("xclip"), read, &png), 0);
        QCOMPARE(test::decode(png).convertToFormat(QImage::Format_RGB32),
                 m_window->pattern().copy(2610, 60, 64, 48));
        QCOMPARE(server->client(QStringLiteral("sh"),
                                {QStringLiteral("-c"),
                                 QStringLiteral("echo taken | xclip -selection clipboard")}),
                 0);
        QVERIFY(test::waitUntil([] { return !clipboardServerRuns(); }));
    }

    void badRequestsSayWhyWithTheirOwnStatusAndWriteNothing_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("says");
        const QString file = m_dir.filePath(QStringLiteral("never.png"));
        const auto row = [&](const char* name, QStringList arguments, int status,
                             const char* says) {
            QTest::newRow(name) << arguments << status << QString::fromUtf8(says);
        };
        const QString out = QStringLiteral("--output");
        row("unknown screen", {"--screen", "7", out, file}, 3, "no screen 7");
        row("unknown output name", {"--screen", "HDMI-9", out, file}, 3, "LEFT, RIGHT");
        row("region outside", {"--region", "9000,0,10,10", out, file}, 3, "outside every screen");
        row("region across", {"--region", "1000,10,2000,100", out, file}, 3, "LEFT");
        row("zero size", {"--region", "10,10,0,10", out, file}, 3, "no area");
        row("negative size", {"--region", "10,10,20,-5", out, file}, 3, "no area");
        row("unknown extension", {"--screen", out, m_dir.filePath("never.gif")}, 4, ".png, .jpg");
        row("missing folder", {"--screen", out, m_dir.filePath("none/never.png")}, 4,
            "No such file");
        row("unwritable folder", {"--screen", out, QStringLiteral("/proc/never.png")}, 4,
            "can't write");
        row("delay out of range", {"--screen", "--delay", "61", out, file}, 2, "0 to 60");
        row("two outputs", {"--screen", out, file, "--clipboard"}, 2, "not both");
    }
    void badRequestsSayWhyWithTheirOwnStatusAndWriteNothing() {
        QFETCH(QStringList, arguments);
        QFETCH(int, status);
        QFETCH(QString, says);
        const auto saved = [&] {
            return QDir(m_kestrova->picturesDir()).entryList(QDir::Files | QDir::Hidden);
        };
        const QStringList before = saved();
        const Shot shot = shoot(arguments);
        QCOMPARE(shot.status, status);
        QVERIFY2(shot.err.startsWith("kestrova: ") && shot.err.contains(says.toUtf8()),
                 shot.err.constData());
        if (status != 2) // a command line not understood is followed by the usage
            QCOMPARE(shot.err.count('\n'), 1);
        QVERIFY(shot.out.isEmpty());
        QCOMPARE(QDir(m_dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList());
        QCOMPARE(saved(), before);
    }

    void noTerminalNoReaderAndNoDisplay() {
        // A PNG is never written to a terminal (script gives the command one).
        QByteArray typed;
        QCOMPARE(test::run(QStringLiteral("script"),
                           {QStringLiteral("-qec"),
                            QStringLiteral("DISPLAY=%1 %2 --screen --output -")
                                .arg(server->display(), QStringLiteral(KESTROVA_BINARY)),
                            QStringLiteral("/dev/null")},
                           &typed),
                 4);
        QVERIFY2(typed.contains("terminal"), typed.constData());
        QVERIFY(!typed.contains("PNG"));

        // A reader that goes away is a failure, said as such. This one ends at once, before
        // kestrova (tens of milliseconds to start) writes: how much of the picture a reader
        // could take first would depend on what the screen shows.
        QByteArray said;
        QCOMPARE(test::run(QStringLiteral("bash"),
                           {QStringLiteral("-c"),
                            QStringLiteral("exec 3>&1; DISPLAY=%1 %2 --screen all --output - 2>&3 "
                                           "| true; exit ${PIPESTATUS[0]}")
                                .arg(server->display(), QStringLiteral(KESTROVA_BINARY))},
                           &said),
                 4);
        QVERIFY2(said.contains("couldn't write the picture to standard output"), said.constData());

        QProcessEnvironment env = m_kestrova->environment();
        env.insert(QStringLiteral("DISPLAY"), QStringLiteral(":987"));
        env.remove(QStringLiteral("WAYLAND_DISPLAY"));
        QProcess process;
        process.setProcessEnvironment(env);
        process.start(QStringLiteral(KESTROVA_BINARY),
                      {QStringLiteral("--screen"), QStringLiteral("--output"),
                       m_dir.filePath(QStringLiteral("never.png"))});
        QVERIFY(process.waitForFinished(10000));
        QCOMPARE(process.exitCode(), 5);
        QVERIFY(process.readAllStandardError().contains("no display"));
        QVERIFY(!QFile::exists(m_dir.filePath(QStringLiteral("never.png"))));
    }
};

int main(int argc, char** argv) {
    test::XServer own(desktopWidth, desktopHeight);
    if (!own.isRunning())
        return 1;
    server = &own;
    own.splitIntoTwoMonitors();
    qputenv("DISPLAY", own.display().toUtf8());
    QApplication app(argc, argv);
    ShotCommandTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_shotcommand.moc"
