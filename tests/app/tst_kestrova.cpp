// The real kestrova binary on the test display (window manager and tray running),
// driven only from outside: xdotool for keys and the mouse, xclip for the clipboard,
// and the files it writes.

#include "TestSupport.h"
#include "Unwritable.h"

#include <QDir>
#include <QGuiApplication>
#include <QImageReader>
#include <QLocalSocket>
#include <QRegularExpression>
#include <QScreen>
#include <QTest>

#include <csignal>

#include <sys/stat.h>

using namespace kestrova;

namespace {

// Where the toolbar's buttons are for the selection dragged out below, from the
// toolbar's own numbers: centred 10 points under the selection, buttons 30 wide.
constexpr int selLeft = 400, selTop = 300, selRight = 800, selBottom = 600;

QPoint toolbarButton(int index) {
    static const int xs[11] = {7, 40, 73, 106, 139, 172, 205, 238, 285, 318, 351};
    const int barX = (selLeft + selRight) / 2 - 388 / 2;
    const int barY = selBottom + 10; // below the selection (y down)
    return {barX + xs[index] + 15, barY + 7 + 15};
}
constexpr int textButton = 6, copyButton = 8, saveButton = 9;

void key(const QString& keys) {
    test::xdotool({QStringLiteral("key"), QStringLiteral("--delay"), QStringLiteral("80"), keys});
    QTest::qWait(100);
}

void click(QPoint at) {
    test::xdotool({QStringLiteral("mousemove"), QString::number(at.x()), QString::number(at.y())});
    QTest::qWait(80);
    test::xdotool({QStringLiteral("click"), QStringLiteral("1")});
    QTest::qWait(150);
}

// What the display shows at a point of the desktop.
QRgb screenPixel(QPoint at) {
    return QGuiApplication::primaryScreen()
        ->grabWindow(0, at.x(), at.y(), 1, 1)
        .toImage()
        .pixel(0, 0);
}

bool windowShown(const QString& name, int timeoutMs = 8000) {
    return test::waitUntil([&] { return !test::findWindows(name).isEmpty(); }, timeoutMs);
}

bool windowGone(const QString& name, int timeoutMs = 8000) {
    return test::waitUntil([&] { return test::findWindows(name).isEmpty(); }, timeoutMs);
}

// The tray icon: kestrova's small visible window inside the tray.
std::optional<QPoint> trayIcon() {
    QByteArray found;
    test::xdotool({QStringLiteral("search"), QStringLiteral("--onlyvisible"),
                   QStringLiteral("--class"), QStringLiteral("^kestrova$")},
                  &found);
    for (const QString& id : QString::fromUtf8(found).split(u'\n', Qt::SkipEmptyParts)) {
        QByteArray out;
        test::xdotool({QStringLiteral("getwindowgeometry"), QStringLiteral("--shell"), id}, &out);
        QMap<QString, int> g;
        for (const QByteArray& line : out.split('\n')) {
            const QList<QByteArray> kv = line.split('=');
            if (kv.size() == 2)
                g[QString::fromLatin1(kv[0])] = kv[1].toInt();
        }
        if (g.value(QStringLiteral("WIDTH")) > 0 && g.value(QStringLiteral("WIDTH")) <= 64)
            return QPoint(g[QStringLiteral("X")] + g[QStringLiteral("WIDTH")] / 2,
                          g[QStringLiteral("Y")] + g[QStringLiteral("HEIGHT")] / 2);
    }
    return std::nullopt;
}

QStringList screenshots(const QString& folder) {
    return QDir(folder).entryList(QDir::Files | QDir::Hidden, QDir::Name);
}

QByteArray clipboardPng() {
    QByteArray out;
    test::run(QStringLiteral("xclip"),
              {QStringLiteral("-selection"), QStringLiteral("clipboard"), QStringLiteral("-t"),
               QStringLiteral("image/png"), QStringLiteral("-o")},
              &out);
    return out;
}

} // namespace

class KestrovaTest final : public QObject {
    Q_OBJECT
private:
    // Opens the tray menu and picks the n-th entry (separators are skipped).
    void chooseFromMenu(int downs) {
        const auto icon = trayIcon();
        QVERIFY2(icon, "no tray icon");
        click(*icon);
        QVERIFY(windowShown(QStringLiteral("kestrova menu")));
        for (int i = 0; i < downs; ++i)
            key(QStringLiteral("Down"));
        key(QStringLiteral("Return"));
    }

    void startAndWaitForTray(test::Kestrova& k) {
        QVERIFY(k.start());
        QVERIFY2(test::waitUntil([] { return trayIcon().has_value(); }, 10000),
                 k.errorOutput().constData());
    }

    // Capture Region from the menu, then the selection of the constants above.
    void selectRegion() {
        STEP(chooseFromMenu(1));
        QVERIFY(windowShown(QStringLiteral("kestrova selection")));
        // Ready for the drag once the desktop shows dimmed.
        QVERIFY(test::waitUntil([] {
            return screenPixel({selLeft - 20, selTop - 20}) != qRgb(0x33, 0x66, 0xaa);
        }));
        test::drag(selLeft, selTop, selRight, selBottom);
        QVERIFY(windowShown(QStringLiteral("kestrova editor")));
        // In place once its dark toolbar shows under the selection.
        QVERIFY(test::waitUntil([] {
            const QRgb bar = screenPixel(toolbarButton(0) - QPoint(15 + 4, 0));
            return qRed(bar) < 0x50 && qBlue(bar) < 0x50;
        }));
    }

    void drawRectangle() {
        test::drag(selLeft + 100, selTop + 100, selLeft + 300, selTop + 200);
        QTest::qWait(200);
    }

private slots:
    void initTestCase() {
        ::umask(027); // kestrova inherits it; saved files must follow it
        QCOMPARE(test::run(QStringLiteral("xsetroot"),
                           {QStringLiteral("-solid"), QStringLiteral("#3366aa")}),
                 0);
    }

    void trayMenuTogglesLaunchAtLoginAndQuits() {
        test::Kestrova k;
        STEP(startAndWaitForTray(k));
        const QString entry = k.configHome() + QStringLiteral("/autostart/kestrova.desktop");
        STEP(chooseFromMenu(4));
        QVERIFY(test::waitUntil([&] { return QFile::exists(entry); }));
        QFile file(entry);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QVERIFY(file.readAll().contains("Exec=\"" KESTROVA_BINARY "\""));
        STEP(chooseFromMenu(4));
        QVERIFY(test::waitUntil([&] { return !QFile::exists(entry); }));

        const auto icon = trayIcon();
        click(*icon);
        QVERIFY(windowShown(QStringLiteral("kestrova menu")));
        key(QStringLiteral("ctrl+q"));
        QVERIFY(k.waitForExit(5000));
        QCOMPARE(k.exitStatus(), QProcess::NormalExit);
        QCOMPARE(k.exitCode(), 0);
    }

    void captureAnnotateAndSave() {
        test::Kestrova k;
        STEP(startAndWaitForTray(k));
        STEP(selectRegion());
        drawRectangle();
        click(toolbarButton(saveButton));
        QVERIFY(windowGone(QStringLiteral("kestrova editor")));

        QStringList files;
        QVERIFY(test::waitUntil([&] { return !(files = screenshots(k.picturesDir())).isEmpty(); }));
        QCOMPARE(files.size(), 1);
        static const QRegularExpression pattern(
            QStringLiteral("^kestrova_\\d{4}-\\d\\d-\\d\\d_at_\\d\\d\\.\\d\\d\\.\\d\\d\\.png$"));
        QVERIFY2(pattern.match(files.first()).hasMatch(), qPrintable(files.first()));
        const QImage saved = test::read(k.picturesDir() + u'/' + files.first())
                                 .convertToFormat(QImage::Format_RGB32);
        QCOMPARE(saved.size(), QSize(selRight - selLeft, selBottom - selTop));
        // An ordinary file of the user's: 0666 less the umask (027 here), not private.
        struct stat info {};
        QCOMPARE(
            ::stat(QFile::encodeName(k.picturesDir() + u'/' + files.first()).constData(), &info),
            0);
        QCOMPARE(info.st_mode & 0777, 0640u);
        const QRgb red = qRgb(230, 51, 46);
        QVERIFY(test::near(saved.pixel(100, 150), red, 6)); // left edge of the rectangle
        QVERIFY(test::near(saved.pixel(200, 100), red, 6)); // its top edge
        QVERIFY(test::near(saved.pixel(200, 150), qRgb(0x33, 0x66, 0xaa), 2)); // inside: the screen
        QVERIFY(test::near(saved.pixel(10, 10), qRgb(0x33, 0x66, 0xaa), 2));   // not dimmed
    }

    void oneCtrlZUndoesOneAnnotationWithOrWithoutATextField() {
        test::Kestrova k;
        STEP(startAndWaitForTray(k));
        STEP(selectRegion());
        for (const int left : {50, 150, 250}) // three rectangles, side by side
            test::drag(selLeft + left, selTop + 50, selLeft + left + 70, selTop + 100);
        QTest::qWait(200);
        // The text tool: its options open on the first click and close on the second;
        // then a click in the selection opens a text field, which takes the keys.
        click(toolbarButton(textButton));
        click(toolbarButton(textButton));
        click({selLeft + 200, selTop + 250});
        key(QStringLiteral("ctrl+z")); // real key events: a shortcut override, then the press
        key(QStringLiteral("Escape")); // closes the field, not the editor
        key(QStringLiteral("ctrl+z"));
        click(toolbarButton(saveButton));
        QVERIFY(windowGone(QStringLiteral("kestrova editor")));

        QStringList files;
        QVERIFY(test::waitUntil([&] { return !(files = screenshots(k.picturesDir())).isEmpty(); }));
        const QImage saved = test::read(k.picturesDir() + u'/' + files.first())
                                 .convertToFormat(QImage::Format_RGB32);
        const QRgb red = qRgb(230, 51, 46), screen = qRgb(0x33, 0x66, 0xaa);
        QVERIFY(test::near(saved.pixel(50, 75), red, 6));     // the first stays
        QVERIFY(test::near(saved.pixel(150, 75), screen, 2)); // one undo each
        QVERIFY(test::near(saved.pixel(250, 75), screen, 2));
    }

    void copyPutsThePngOnTheClipboard() {
        test::Kestrova k;
        STEP(startAndWaitForTray(k));
        STEP(selectRegion());
        drawRectangle();
        click(toolbarButton(copyButton));
        QVERIFY(windowGone(QStringLiteral("kestrova editor")));
        const QImage pasted = test::decode(clipboardPng());
        QCOMPARE(pasted.size(), QSize(selRight - selLeft, selBottom - selTop));
        QVERIFY(test::near(pasted.pixel(100, 150), qRgb(230, 51, 46), 6));
        QVERIFY(screenshots(k.picturesDir()).isEmpty());
    }

    void escapeLeavesWithoutOutput() {
        test::Kestrova k;
        STEP(startAndWaitForTray(k));
        STEP(selectRegion());
        key(QStringLiteral("Escape"));
        QVERIFY(windowGone(QStringLiteral("kestrova editor")));
        QTest::qWait(300);
        QVERIFY(screenshots(k.picturesDir()).isEmpty());
        QCOMPARE(k.process().state(), QProcess::Running);
    }

    void failedSaveKeepsTheEditorOpen() {
        test::Kestrova k;
        test::UnwritableFolder unwritable;
        QDir().mkpath(k.configHome() + QStringLiteral("/kestrova"));
        QFile config(k.configHome() + QStringLiteral("/kestrova/kestrova.conf"));
        QVERIFY(config.open(QIODevice::WriteOnly));
        config.write("[General]\nsaveFolderBookmark=@ByteArray(" + unwritable.path().toUtf8() +
                     ")\n");
        config.close();
        STEP(startAndWaitForTray(k));
        STEP(selectRegion());
        drawRectangle();
        click(toolbarButton(saveButton));

        QVERIFY(
            test::waitUntil([&] { return k.errorOutput().contains("kestrova: save failed — "); }));
        QVERIFY(windowShown(QStringLiteral("^kestrova$"))); // the alert
        QVERIFY(!test::findWindows(QStringLiteral("kestrova editor")).isEmpty());
        // A capture started over the alert has the keyboard: its Escape ends the
        // selection, and neither the alert nor the editor beneath hears it.
        QCOMPARE(k.runAgain({QStringLiteral("--capture")}), 0);
        QVERIFY(windowShown(QStringLiteral("kestrova selection")));
        QTest::qWait(300);
        key(QStringLiteral("Escape"));
        QVERIFY(windowGone(QStringLiteral("kestrova selection"), 3000));
        QVERIFY(!test::findWindows(QStringLiteral("^kestrova$")).isEmpty());
        QVERIFY(!test::findWindows(QStringLiteral("kestrova editor")).isEmpty());
        key(QStringLiteral("Return"));
        QTest::qWait(300);
        QVERIFY(!test::findWindows(QStringLiteral("kestrova editor")).isEmpty());
        // Nothing is lost: copying still works.
        click(toolbarButton(copyButton));
        QVERIFY(windowGone(QStringLiteral("kestrova editor")));
        const QImage pasted = test::decode(clipboardPng()).convertToFormat(QImage::Format_RGB32);
        QCOMPARE(pasted.size(), QSize(selRight - selLeft, selBottom - selTop));
        QVERIFY(test::near(pasted.pixel(100, 150), qRgb(230, 51, 46), 6)); // with its rectangle
    }

    void captureWhileEditingIsDropped() {
        test::Kestrova k;
        STEP(startAndWaitForTray(k));
        STEP(selectRegion());
        QCOMPARE(test::findWindows(QStringLiteral("kestrova editor")).size(), 1);
        QCOMPARE(k.runAgain({QStringLiteral("--capture")}), 0);
        QVERIFY(windowShown(QStringLiteral("kestrova selection")));
        QTest::qWait(200);
        test::drag(100, 100, 300, 250);
        QVERIFY(windowGone(QStringLiteral("kestrova selection")));
        QTest::qWait(800);
        QCOMPARE(test::findWindows(QStringLiteral("kestrova editor")).size(), 1);
        // The open editor still has its own selection: saving yields its size.
        click(toolbarButton(saveButton));
        QVERIFY(windowGone(QStringLiteral("kestrova editor")));
        QStringList files;
        QVERIFY(test::waitUntil([&] { return !(files = screenshots(k.picturesDir())).isEmpty(); }));
        QCOMPARE(QImage(k.picturesDir() + u'/' + files.first()).size(),
                 QSize(selRight - selLeft, selBottom - selTop));

        // After the editor is gone, the next capture opens a new one.
        QCOMPARE(k.runAgain({QStringLiteral("--capture")}), 0);
        QVERIFY(windowShown(QStringLiteral("kestrova selection")));
        QTest::qWait(200);
        test::drag(100, 100, 300, 250);
        QVERIFY(windowShown(QStringLiteral("kestrova editor")));
        key(QStringLiteral("Escape"));
        QVERIFY(windowGone(QStringLiteral("kestrova editor")));
    }

    void hotKeyStartsACapture() {
        test::Kestrova k;
        STEP(startAndWaitForTray(k));
        key(QStringLiteral("shift+super+2"));
        QVERIFY(windowShown(QStringLiteral("kestrova selection")));
        QTest::qWait(200);
        key(QStringLiteral("Escape"));
        QVERIFY(windowGone(QStringLiteral("kestrova selection")));
        key(QStringLiteral("shift+super+2")); // cancelled overlays do not block the next
        QVERIFY(windowShown(QStringLiteral("kestrova selection")));
        key(QStringLiteral("Escape"));
        QVERIFY(windowGone(QStringLiteral("kestrova selection")));
    }

    void shortcutTakenByAnotherClientLeavesKestrovaRunning() {
        test::Kestrova first;
        STEP(startAndWaitForTray(first));
        // A second instance of its own (another runtime folder) meets the first's grab.
        test::Kestrova second;
        QVERIFY(second.start());
        QVERIFY(test::waitUntil([&] { return second.errorOutput().contains("⇧⌘2"); }, 10000));
        QTest::qWait(300);
        QCOMPARE(second.process().state(), QProcess::Running);
        QCOMPARE(first.process().state(), QProcess::Running);
    }

    void withoutATrayItSaysSoAndKeepsServingTheHotKey() {
        test::XServer bare(1280, 800);
        test::Kestrova k(bare.display());
        QVERIFY(k.start());
        QVERIFY(test::waitUntil([&] { return k.errorOutput().contains("no system tray"); }, 10000));
        QCOMPARE(k.errorOutput().count("no system tray"), 1);
        QVERIFY2(!k.errorOutput().contains("No such signal"), k.errorOutput().constData());
        test::xdotool({QStringLiteral("key"), QStringLiteral("shift+super+2")}, nullptr,
                      bare.environment());
        QVERIFY(test::waitUntil(
            [&] {
                return !test::findWindows(QStringLiteral("kestrova selection"), bare.environment())
                            .isEmpty();
            },
            8000));
        QCOMPARE(k.process().state(), QProcess::Running);
    }

    void oneInstancePerUserAndDisplay() {
        test::Kestrova k;
        STEP(startAndWaitForTray(k));
        QByteArray err;
        QCOMPARE(k.runAgain({}, &err), 0);
        QCOMPARE(err, QByteArray("kestrova is already running\n"));
        QCOMPARE(k.process().state(), QProcess::Running);

        QCOMPARE(k.runAgain({QStringLiteral("--capture")}), 0);
        QVERIFY(windowShown(QStringLiteral("kestrova selection")));
        key(QStringLiteral("Escape"));
        QVERIFY(windowGone(QStringLiteral("kestrova selection")));

        // A crashed instance leaves its socket behind; the next start takes over.
        ::kill(static_cast<pid_t>(k.process().processId()), SIGKILL);
        QVERIFY(k.waitForExit(5000));
        test::Kestrova again; // same folders are not shared, so reuse k's environment:
        QProcess restarted;
        restarted.setProcessEnvironment(k.environment());
        restarted.start(QStringLiteral(KESTROVA_BINARY), {});
        QVERIFY(restarted.waitForStarted());
        QVERIFY(test::waitUntil([] { return trayIcon().has_value(); }, 10000));
        QTest::qWait(300);
        QCOMPARE(restarted.state(), QProcess::Running);
        QCOMPARE(k.runAgain({QStringLiteral("--quit")}), 0);
        QVERIFY(restarted.waitForFinished(5000));
        QCOMPARE(restarted.exitCode(), 0);
        QCOMPARE(k.runAgain({QStringLiteral("--quit")}), 1); // none left to quit
    }

    void channelSurvivesGarbage() {
        test::Kestrova k;
        STEP(startAndWaitForTray(k));
        const QString socketPath =
            k.runtimeDir() + QStringLiteral("/kestrova-") +
            QString(qEnvironmentVariable("DISPLAY")).replace(u':', u'_').replace(u'.', u'_') +
            QStringLiteral(".socket");
        QVERIFY2(QFile::exists(socketPath), qPrintable(socketPath));
        std::vector<std::unique_ptr<QLocalSocket>> clients;
        const auto open = [&] {
            clients.push_back(std::make_unique<QLocalSocket>());
            clients.back()->connectToServer(socketPath);
            clients.back()->waitForConnected(1000);
            return clients.back().get();
        };
        QByteArray noise(8192, '\0');
        for (int i = 0; i < noise.size(); ++i)
            noise[i] = char((i * 7919) & 0xff);
        open()->write(noise);
        open()->write(QByteArray(1 << 20, 'x'));
        open(); // says nothing
        for (int i = 0; i < 30; ++i)
            open();
        for (auto& c : clients)
            c->flush();
        QCOMPARE(k.runAgain({QStringLiteral("--capture")}), 0);
        QVERIFY(windowShown(QStringLiteral("kestrova selection")));
        key(QStringLiteral("Escape"));
        QCOMPARE(k.process().state(), QProcess::Running);
    }

    void commandLineFollowsConventions() {
        test::Kestrova k;
        QByteArray err;
        QCOMPARE(k.runAgain({QStringLiteral("--bogus")}, &err), 2);
        QVERIFY(err.contains("Usage: kestrova"));
        QCOMPARE(k.runAgain({QStringLiteral("--version")}), 0);
        QCOMPARE(k.runAgain({QStringLiteral("--help")}), 0);
        QCOMPARE(k.runAgain({QStringLiteral("--capture"), QStringLiteral("--quit")}), 2);
        // A delay only for what captures, and within a minute.
        QCOMPARE(k.runAgain({QStringLiteral("--delay"), QStringLiteral("1")}), 2);
        QCOMPARE(k.runAgain({QStringLiteral("--capture"), QStringLiteral("--delay"),
                             QStringLiteral("-1")}),
                 2);
    }
};

QTEST_MAIN(KestrovaTest)
#include "tst_kestrova.moc"
