// The real kestrova in a real KWin session (headless, one 1920x1080 output) with KDE's
// portal: kestrova reads the screen through KWin's own screenshot service, granted by
// its desktop entry, and binds its hot key through the portal, which hands it to
// kglobalaccel. The screen is read back through the same KWin service (this test has a
// desktop entry too). Runs inside wayland_session.sh kde, which names kestrova in
// KESTROVA.

#include "TestSupport.h"
#include "WaylandJourney.h"

#include <QDBusArgument>
#include <QDBusConnection>
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

QDBusMessage call(const QString& service, const QString& path, const QString& interface,
                  const QString& method, const QVariantList& arguments = {}) {
    QDBusMessage message = QDBusMessage::createMethodCall(service, path, interface, method);
    message.setArguments(arguments);
    return QDBusConnection::sessionBus().call(message, QDBus::Block, 30000);
}

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
    QProcess m_background;
    QProcess m_instance;
    QImage m_desktop;

private slots:
    void initTestCase() {
        QVERIFY2(!qgetenv("KESTROVA").isEmpty(), "run this test through wayland_session.sh kde");
        // A desktop picture, shown by a layer-shell client as Plasma's shell would.
        const QString picture = QDir::home().filePath(QStringLiteral("wallpaper.png"));
        QVERIFY(wallpaper(QSize(1920, 1080), 5).save(picture));
        m_background.start(
            QStringLiteral("swaybg"),
            {QStringLiteral("-i"), picture, QStringLiteral("-m"), QStringLiteral("center")});
        m_desktop = settledScreen([&] { return screen(); });
        QVERIFY(!m_desktop.isNull());
        const QString failure =
            startInstance(m_instance, QDir::home().filePath(QStringLiteral("shots")));
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
        QByteArray png;
        QCOMPARE(
            runSlowly(QString::fromLocal8Bit(qgetenv("KESTROVA")),
                      {QStringLiteral("--screen"), QStringLiteral("--output"), QStringLiteral("-")},
                      &png),
            0);
        QCOMPARE(decode(png).convertToFormat(QImage::Format_RGB32), m_desktop);
    }

    // Plasma registers only the shortcuts given as the portal's session is made, and
    // matches Shift+Super+2 as Meta+@, the symbol Shift makes of 2.
    void theHotKeyIsBoundAsKWinMatchesItAndStartsACapture() {
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

        QVERIFY(call(QStringLiteral("org.kde.kglobalaccel"), component,
                     QStringLiteral("org.kde.kglobalaccel.Component"),
                     QStringLiteral("invokeShortcut"),
                     {names.constFirst(), QStringLiteral("default")})
                    .type() == QDBusMessage::ReplyMessage);
        QVERIFY(
            waitUntil([&] { return pixelsNotDimmed(screen(), m_desktop, 1.5, 0) == 0; }, 10000));
    }
};

QTEST_GUILESS_MAIN(KdeSessionTest)
#include "tst_kde.moc"
