// The real kestrova in a real GNOME Shell session (headless, one 1920x1080 monitor), where
// the screenshot portal is the only way to the screen and the shell asks the user before
// a program's first screenshot. Driven from outside as a user would: the pointer and keys
// through Mutter's remote-desktop interface, the screen read back through the shell's
// own screenshot interface (the pointer left out). Runs inside wayland_session.sh gnome,
// which names kestrova in KESTROVA.

#include "TestSupport.h"
#include "WaylandJourney.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDir>
#include <QTest>

using namespace kestrova;
using namespace kestrova::test;

namespace {

constexpr quint32 keyEscape = 0xff1b;
constexpr quint32 keyReturn = 0xff0d;
constexpr int leftButton = 0x110; // BTN_LEFT
// The permission dialog's buttons share its bottom row, "Deny" (focused) then "Allow".
constexpr QPoint allowButton(1115, 634);

// The shell's top bar shows a clock that may turn while a test runs: pictures are
// compared below it.
constexpr int belowTopBar = 40;

QDBusMessage permissionStore(const QString& method, const QVariantList& arguments) {
    return call(QStringLiteral("org.freedesktop.impl.portal.PermissionStore"),
                QStringLiteral("/org/freedesktop/impl/portal/PermissionStore"),
                QStringLiteral("org.freedesktop.impl.portal.PermissionStore"), method, arguments);
}

// What the desktop remembers of screenshots for programs outside a sandbox.
QStringList storedAnswer() {
    const QDBusMessage reply = permissionStore(
        QStringLiteral("Lookup"), {QStringLiteral("screenshot"), QStringLiteral("screenshot")});
    if (reply.type() != QDBusMessage::ReplyMessage)
        return {};
    QMap<QString, QStringList> programs;
    reply.arguments().constFirst().value<QDBusArgument>() >> programs;
    return programs.value(QString());
}

void forgetAnswer() {
    permissionStore(QStringLiteral("DeletePermission"),
                    {QStringLiteral("screenshot"), QStringLiteral("screenshot"), QString()});
}

QImage belowBar(const QImage& screen) {
    return screen.copy(0, belowTopBar, screen.width(), screen.height() - belowTopBar);
}

} // namespace

class GnomeSessionTest final : public QObject {
    Q_OBJECT
private:
    QString m_remote; // the remote-desktop session's object path
    QString m_stream; // the monitor's stream, the frame of absolute pointer positions
    QProcess m_instance;
    QString m_shots;
    QImage m_desktop; // the screen with nothing of kestrova's on it

    bool remote(const QString& method, const QVariantList& arguments) {
        const QDBusMessage reply =
            call(QStringLiteral("org.gnome.Mutter.RemoteDesktop"), m_remote,
                 QStringLiteral("org.gnome.Mutter.RemoteDesktop.Session"), method, arguments);
        return reply.type() == QDBusMessage::ReplyMessage;
    }

    void key(quint32 keysym) {
        QVERIFY(remote(QStringLiteral("NotifyKeyboardKeysym"), {keysym, true}));
        QVERIFY(remote(QStringLiteral("NotifyKeyboardKeysym"), {keysym, false}));
    }

    void moveTo(QPoint at) {
        QVERIFY(remote(QStringLiteral("NotifyPointerMotionAbsolute"),
                       {m_stream, double(at.x()), double(at.y())}));
    }

    void button(bool pressed) {
        QVERIFY(remote(QStringLiteral("NotifyPointerButton"), {leftButton, pressed}));
    }

    void drag(QPoint from, QPoint to) {
        STEP(moveTo(from));
        QTest::qWait(50);
        STEP(button(true));
        for (int step = 1; step <= 5; ++step) {
            STEP(moveTo(from + (to - from) * step / 5));
            QTest::qWait(30);
        }
        STEP(button(false));
    }

    void click(QPoint at) {
        STEP(moveTo(at));
        QTest::qWait(100);
        STEP(button(true));
        STEP(button(false));
    }

    // The whole monitor as the shell composes it, without the pointer.
    QImage screen() {
        const QString file = QDir::home().filePath(QStringLiteral("screen.png"));
        QFile::remove(file);
        const QDBusMessage reply = call(QStringLiteral("org.gnome.Shell.Screenshot"),
                                        QStringLiteral("/org/gnome/Shell/Screenshot"),
                                        QStringLiteral("org.gnome.Shell.Screenshot"),
                                        QStringLiteral("Screenshot"), {false, false, file});
        if (reply.type() != QDBusMessage::ReplyMessage || !reply.arguments().value(0).toBool())
            return {};
        return read(file).convertToFormat(QImage::Format_RGB32);
    }

    // Waits until the screen below the top bar shows the desktop dimmed, every pixel.
    bool overlayShown() {
        return waitUntil(
            [&] { return pixelsNotDimmed(belowBar(screen()), belowBar(m_desktop), 1.5, 0) == 0; },
            10000);
    }

    // Waits until the screen below the top bar is the desktop again, every pixel.
    bool desktopShown(int timeoutMs = 10000) {
        return waitUntil(
            [&] { return pixelsDiffering(belowBar(screen()), belowBar(m_desktop), 0) == 0; },
            timeoutMs);
    }

    // Whether a window (a dialog, an alert) is shown over the desktop.
    bool windowShown() {
        return waitUntil(
            [&] { return pixelsDiffering(belowBar(screen()), belowBar(m_desktop), 0) > 10000; },
            10000);
    }

    void capture() {
        QCOMPARE(
            runSlowly(QString::fromLocal8Bit(qgetenv("KESTROVA")), {QStringLiteral("--capture")}),
            0);
    }

    void select(const QRect& selection) {
        STEP(drag(selection.topLeft(), selection.bottomRight() + QPoint(1, 1)));
        QVERIFY(editorShows([&] { return screen(); }, m_desktop, selection));
    }

private slots:
    void initTestCase() {
        QVERIFY2(!qgetenv("KESTROVA").isEmpty(), "run this test through wayland_session.sh gnome");
        // The shell lets only its own tools read the screen, known by their bus names.
        QVERIFY(
            QDBusConnection::sessionBus().registerService(QStringLiteral("org.gnome.Screenshot")));

        const QDBusMessage session =
            call(QStringLiteral("org.gnome.Mutter.RemoteDesktop"),
                 QStringLiteral("/org/gnome/Mutter/RemoteDesktop"),
                 QStringLiteral("org.gnome.Mutter.RemoteDesktop"), QStringLiteral("CreateSession"));
        QVERIFY2(session.type() == QDBusMessage::ReplyMessage, qPrintable(session.errorMessage()));
        m_remote = session.arguments().constFirst().value<QDBusObjectPath>().path();
        QDBusInterface remoteSession(QStringLiteral("org.gnome.Mutter.RemoteDesktop"), m_remote,
                                     QStringLiteral("org.gnome.Mutter.RemoteDesktop.Session"));
        const QString id = remoteSession.property("SessionId").toString();
        QVERIFY(!id.isEmpty());
        const QDBusMessage cast =
            call(QStringLiteral("org.gnome.Mutter.ScreenCast"),
                 QStringLiteral("/org/gnome/Mutter/ScreenCast"),
                 QStringLiteral("org.gnome.Mutter.ScreenCast"), QStringLiteral("CreateSession"),
                 {QVariantMap{{QStringLiteral("remote-desktop-session-id"), id}}});
        QVERIFY2(cast.type() == QDBusMessage::ReplyMessage, qPrintable(cast.errorMessage()));
        const QDBusMessage stream =
            call(QStringLiteral("org.gnome.Mutter.ScreenCast"),
                 cast.arguments().constFirst().value<QDBusObjectPath>().path(),
                 QStringLiteral("org.gnome.Mutter.ScreenCast.Session"),
                 QStringLiteral("RecordMonitor"), {QStringLiteral("Meta-0"), QVariantMap()});
        QVERIFY2(stream.type() == QDBusMessage::ReplyMessage, qPrintable(stream.errorMessage()));
        m_stream = stream.arguments().constFirst().value<QDBusObjectPath>().path();
        QVERIFY(remote(QStringLiteral("Start"), {}));

        // The shell opens in its overview.
        QTest::qWait(1000);
        STEP(key(keyEscape));
        const QString picture = QDir::home().filePath(QStringLiteral("wallpaper.png"));
        QVERIFY(wallpaper(QSize(1920, 1080), 3).save(picture));
        for (const auto& [key, value] :
             {std::pair{"picture-uri", QUrl::fromLocalFile(picture).toString()},
              std::pair{"picture-options", QStringLiteral("stretched")}})
            QCOMPARE(
                runSlowly(QStringLiteral("gsettings"),
                          {QStringLiteral("set"), QStringLiteral("org.gnome.desktop.background"),
                           QLatin1String(key), value}),
                0);
        STEP(moveTo({1900, 1060}));
        m_desktop = settledScreen([&] { return screen(); });
        QVERIFY(!m_desktop.isNull());

        m_shots = QDir::home().filePath(QStringLiteral("shots"));
        const QString failure = startInstance(m_instance, m_shots);
        QVERIFY2(failure.isEmpty(), qPrintable(failure));
    }

    void cleanupTestCase() {
        const QByteArray errors = quitInstance(m_instance);
        QVERIFY2(!errors.contains("runtime error") && !errors.contains("Sanitizer"),
                 errors.constData());
    }

    // The shell asks before a program's first screenshot; a person may take their time.
    void firstCaptureWaitsForTheUsersAllowAndSavesExactlyWhatWasOnScreen() {
        forgetAnswer();
        STEP(capture());
        QVERIFY(windowShown());
        QTest::qWait(15000);
        QVERIFY2(windowShown(), "the question went away");
        STEP(click(allowButton));
        QVERIFY(overlayShown());
        QCOMPARE(storedAnswer(), QStringList{QStringLiteral("yes")});

        const QRect selection(200, 150, 400, 300);
        STEP(select(selection));
        STEP(click(toolbarButton(selection, saveButton)));
        QCOMPARE(takeScreenshot(m_shots), m_desktop.copy(selection));
        QVERIFY(desktopShown());
    }

    void copyPutsTheExactPixelsOnTheClipboardAndEscapeEndsACapture() {
        STEP(capture());
        QVERIFY(overlayShown());
        const QRect selection(900, 500, 300, 200);
        STEP(select(selection));
        STEP(click(toolbarButton(selection, copyButton)));
        QVERIFY(desktopShown());
        QCOMPARE(pastedImage(), m_desktop.copy(selection));

        STEP(capture());
        QVERIFY(overlayShown());
        STEP(key(keyEscape));
        QVERIFY(desktopShown());
        QVERIFY(QDir(m_shots).entryList(QDir::Files).isEmpty());
    }

    // From scripts and key bindings too, through the same portal: nothing is asked
    // once screenshots are allowed, and the pointer stays out.
    void commandLineScreenshotsAreTheScreensPixels() {
        const QString kestrova = QString::fromLocal8Bit(qgetenv("KESTROVA"));
        QByteArray png;
        QCOMPARE(
            runSlowly(kestrova,
                      {QStringLiteral("--screen"), QStringLiteral("--output"), QStringLiteral("-")},
                      &png),
            0);
        QCOMPARE(belowBar(decode(png).convertToFormat(QImage::Format_RGB32)), belowBar(m_desktop));
        QCOMPARE(runSlowly(kestrova, {QStringLiteral("--region"), QStringLiteral("300,200,64,48"),
                                      QStringLiteral("--clipboard")}),
                 0);
        QCOMPARE(pastedImage(), m_desktop.copy(300, 200, 64, 48));
    }

    // The user's own "Deny" ends the capture without a word; a refusal the desktop
    // remembers gets an alert that says how to be asked again.
    void denyingEndsQuietlyAndARememberedRefusalIsExplained() {
        forgetAnswer();
        STEP(capture());
        QVERIFY(windowShown());
        STEP(key(keyEscape));
        QVERIFY(desktopShown());
        QCOMPARE(storedAnswer(), QStringList{QStringLiteral("no")});
        QTest::qWait(2000);
        QVERIFY2(desktopShown(0), "something was shown after the user declined");

        m_instance.readAllStandardError();
        STEP(capture());
        QVERIFY(windowShown());
        QByteArray said;
        QVERIFY2(waitUntil(
                     [&] {
                         said += m_instance.readAllStandardError();
                         return said.contains("PermissionStore.DeletePermission screenshot");
                     },
                     5000),
                 said.constData());
        STEP(key(keyReturn));
        QVERIFY(desktopShown());
        forgetAnswer();
    }
};

QTEST_GUILESS_MAIN(GnomeSessionTest)
#include "tst_gnome.moc"
