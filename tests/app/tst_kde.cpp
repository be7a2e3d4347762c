// The real kestrova in a real KWin session (headless, one 1920x1080 output) with KDE's
// portal: kestrova reads the screen through KWin's own screenshot service, granted by
// its desktop entry, and binds its hot key through the portal, which hands it to
// kglobalaccel. Driven from outside as a user would, through an input device KWin
// lets the test plug in (seat_input); the screen is read back through the same KWin
// service (this test has a desktop entry too). Runs inside wayland_session.sh kde, which
// names the programs in KESTROVA and SEAT_INPUT.

#include "TestSupport.h"
#include "WaylandJourney.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusUnixFileDescriptor>
#include <QDir>
#include <QTest>

#include <unistd.h>

using namespace kestrova;
using namespace kestrova::test;

namespace {

constexpr QSize layout(1920, 1080);
// evdev key codes
constexpr int keyEscape = 1;
constexpr int key2 = 3;
constexpr int keyLeftShift = 42;
constexpr int keyLeftMeta = 125;

// The whole output, as KWin composes it, at its own pixels, without the pointer.
QImage screen() {
    int ends[2];
    if (::pipe(ends) != 0)
        return {};
    const QDBusMessage reply =
        call(QStringLiteral("org.kde.KWin"), QStringLiteral("/org/kde/KWin/ScreenShot2"),
             QStringLiteral("org.kde.KWin.ScreenShot2"), QStringLiteral("CaptureWorkspace"),
             {QVariantMap{{QStringLiteral("native-resolution"), true}},
              QVariant::fromValue(QDBusUnixFileDescriptor(ends[1]))});
    ::close(ends[1]);
    QByteArray pixels;
    char chunk[65536];
    for (ssize_t got; (got = ::read(ends[0], chunk, sizeof chunk)) > 0;)
        pixels.append(chunk, got);
    ::close(ends[0]);
    if (reply.type() != QDBusMessage::ReplyMessage)
        return {};
    QVariantMap results;
    reply.arguments().constFirst().value<QDBusArgument>() >> results;
    const int width = results.value(QStringLiteral("width")).toInt();
    const int height = results.value(QStringLiteral("height")).toInt();
    const int stride = results.value(QStringLiteral("stride")).toInt();
    if (pixels.size() < qsizetype(stride) * height)
        return {};
    return QImage(reinterpret_cast<const uchar*>(pixels.constData()), width, height, stride,
                  QImage::Format(results.value(QStringLiteral("format")).toInt()))
        .convertToFormat(QImage::Format_RGB32);
}

// kglobalaccel's object for kestrova's shortcuts, named by the portal's session.
QString kestrovaComponent() {
    const QDBusMessage reply =
        call(QStringLiteral("org.kde.kglobalaccel"), QStringLiteral("/kglobalaccel"),
             QStringLiteral("org.kde.KGlobalAccel"), QStringLiteral("allComponents"));
    if (reply.type() != QDBusMessage::ReplyMessage)
        return {};
    QList<QDBusObjectPath> components;
    reply.arguments().constFirst().value<QDBusArgument>() >> components;
    for (const QDBusObjectPath& component : components) {
        if (component.path().startsWith(QLatin1String("/component/kestrova")))
            return component.path();
    }
    return {};
}

} // namespace

class KdeSessionTest final : public QObject {
    Q_OBJECT
private:
    SeatInput m_input;
    QProcess m_background;
    QProcess m_instance;
    QString m_shots;
    QImage m_desktop; // the screen with nothing of kestrova's on it

    // Waits until the screen shows the desktop dimmed, every pixel.
    bool overlayShown() {
        return waitUntil([&] { return pixelsNotDimmed(screen(), m_desktop, 1.5, 0) == 0; }, 10000);
    }

    // Waits until the screen is the desktop again, every pixel.
    bool desktopShown() {
        return waitUntil([&] { return pixelsDiffering(screen(), m_desktop, 0) == 0; }, 10000);
    }

    void select(const QRect& selection) {
        QVERIFY(m_input.drag(selection.topLeft(), selection.bottomRight() + QPoint(1, 1), layout));
        QVERIFY(editorShows([&] { return screen(); }, m_desktop, selection));
    }

private slots:
    void initTestCase() {
        QVERIFY2(!qgetenv("KESTROVA").isEmpty() && !qgetenv("SEAT_INPUT").isEmpty(),
                 "run this test through wayland_session.sh kde");
        const QString input = m_input.start();
        QVERIFY2(input.isEmpty(), qPrintable(input));
        // A desktop picture, shown by a layer-shell client as Plasma's shell would.
        const QString picture = QDir::home().filePath(QStringLiteral("wallpaper.png"));
        QVERIFY(wallpaper(layout, 5).save(picture));
        m_background.start(
            QStringLiteral("swaybg"),
            {QStringLiteral("-i"), picture, QStringLiteral("-m"), QStringLiteral("center")});
        m_desktop = settledScreen([&] { return screen(); });
        QVERIFY(!m_desktop.isNull());
        m_shots = QDir::home().filePath(QStringLiteral("shots"));
        const QString failure = startInstance(m_instance, m_shots);
        QVERIFY2(failure.isEmpty(), qPrintable(failure));
    }

    void cleanupTestCase() {
        const QByteArray errors = quitInstance(m_instance);
        m_background.kill();
        m_background.waitForFinished(5000);
        QVERIFY2(!errors.contains("runtime error") && !errors.contains("Sanitizer"),
                 errors.constData());
    }

    // Through KWin's own service: no portal file, no pointer painted in.
    void commandLineScreenshotsAreKWinsPixels() {
        QVERIFY(m_input.moveTo({960, 540}, layout));
        QByteArray png;
        QCOMPARE(
            runSlowly(QString::fromLocal8Bit(qgetenv("KESTROVA")),
                      {QStringLiteral("--screen"), QStringLiteral("--output"), QStringLiteral("-")},
                      &png),
            0);
        QCOMPARE(decode(png).convertToFormat(QImage::Format_RGB32), m_desktop);
    }

    // Plasma registers only the shortcuts given as the portal's session is made, and
    // matches Shift+Super+2 as Meta+@, the symbol Shift makes of 2. Pressed on the
    // keyboard, it starts a capture; what is selected is saved exactly.
    void theHotKeyPressedStartsACaptureThatSavesExactlyWhatWasOnScreen() {
        QString component;
        QVERIFY(waitUntil([&] { return !(component = kestrovaComponent()).isEmpty(); }, 10000));
        const QDBusMessage infos =
            call(QStringLiteral("org.kde.kglobalaccel"), component,
                 QStringLiteral("org.kde.kglobalaccel.Component"), QStringLiteral("shortcutNames"));
        const QStringList names = infos.arguments().value(0).toStringList();
        QCOMPARE(names, QStringList{QStringLiteral("capture-region")});
        const QDBusMessage keys =
            call(QStringLiteral("org.kde.kglobalaccel"), QStringLiteral("/kglobalaccel"),
                 QStringLiteral("org.kde.KGlobalAccel"), QStringLiteral("shortcut"),
                 {QStringList{component.section(u'/', -1), names.constFirst(),
                              component.section(u'/', -1), names.constFirst()}});
        QVERIFY2(keys.type() == QDBusMessage::ReplyMessage, qPrintable(keys.errorMessage()));
        constexpr int metaAt = 0x10000000 | 0x40; // Qt::MetaModifier | Qt::Key_At
        const QList<int> bound = qdbus_cast<QList<int>>(keys.arguments().value(0));
        QVERIFY2(bound.contains(metaAt), qPrintable(QString::number(bound.value(0), 16)));

        QVERIFY(m_input.keys({keyLeftShift, keyLeftMeta, key2}));
        QVERIFY(overlayShown());
        const QRect selection(200, 150, 400, 300);
        STEP(select(selection));
        QVERIFY(m_input.click(toolbarButton(selection, saveButton), layout));
        QCOMPARE(takeScreenshot(m_shots), m_desktop.copy(selection));
        QVERIFY(desktopShown());
    }

    void copyPutsTheExactPixelsOnTheClipboardAndEscapeEndsACapture() {
        const QString kestrova = QString::fromLocal8Bit(qgetenv("KESTROVA"));
        QCOMPARE(runSlowly(kestrova, {QStringLiteral("--capture")}), 0);
        QVERIFY(overlayShown());
        const QRect selection(900, 500, 300, 200);
        STEP(select(selection));
        QVERIFY(m_input.click(toolbarButton(selection, copyButton), layout));
        QVERIFY(desktopShown());
        QCOMPARE(pastedImage(), m_desktop.copy(selection));

        QCOMPARE(runSlowly(kestrova, {QStringLiteral("--capture")}), 0);
        QVERIFY(overlayShown());
        QVERIFY(m_input.keys({keyEscape}));
        QVERIFY(desktopShown());
        QVERIFY(QDir(m_shots).entryList(QDir::Files).isEmpty());
    }
};

QTEST_GUILESS_MAIN(KdeSessionTest)
#include "tst_kde.moc"
