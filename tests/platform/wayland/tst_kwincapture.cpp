// KWin's screenshot service, against a fake KWin on a private bus: each screen's raw
// pixels at its own resolution, and the portal taking over where KWin says no.

#include "FakePortal.h"
#include "KWinCaptureBackend.h"
#include "TestSupport.h"

#include <QDBusUnixFileDescriptor>
#include <QTest>

#include <unistd.h>

using namespace kestrova;

namespace {

// What the portal would have answered, counted.
class StandIn final : public CaptureBackend {
public:
    int asked = 0;
    Expected<QImage> grab(const QRect&) override { return Error{QStringLiteral("none")}; }
    QFuture<Stills> grabStills(const std::vector<ScreenInfo>& screens) override {
        ++asked;
        return QtFuture::makeReadyFuture(Stills(std::vector<QImage>(screens.size(), marker())));
    }
    bool isCompositing() const override { return false; }
    QString failureHint() const override { return QStringLiteral("from the portal"); }
    static QImage marker() { return test::noise(QSize(3, 3), 9); }
};

} // namespace

// KWin's screenshot interface as far as kestrova uses it: screens by name, pixels
// written into the caller's pipe before the answer (as a large picture fills the pipe,
// the reader must keep up), refusals as KWin words them.
class FakeKWin final : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.KWin.ScreenShot2")
public:
    QMap<QString, QImage> screens;
    bool refuses = false;
    QList<QVariantMap> options;

public slots:
    QVariantMap CaptureScreen(const QString& name, const QVariantMap& asked,
                              const QDBusUnixFileDescriptor& pipe, const QDBusMessage& message) {
        options << asked;
        const QImage image = screens.value(name);
        if (refuses || image.isNull()) {
            message.setDelayedReply(true);
            m_bus->send(message.createErrorReply(
                refuses ? QStringLiteral("org.kde.KWin.ScreenShot2.Error.NoAuthorized")
                        : QStringLiteral("org.kde.KWin.ScreenShot2.Error.InvalidScreen"),
                QStringLiteral("no")));
            return {};
        }
        const int fd = ::dup(pipe.fileDescriptor());
        for (qsizetype at = 0, size = image.sizeInBytes(); at < size;) {
            const ssize_t n = ::write(fd, image.constBits() + at, std::size_t(size - at));
            if (n <= 0)
                break;
            at += n;
        }
        ::close(fd);
        return {{QStringLiteral("type"), QStringLiteral("raw")},
                {QStringLiteral("width"), image.width()},
                {QStringLiteral("height"), image.height()},
                {QStringLiteral("stride"), int(image.bytesPerLine())},
                {QStringLiteral("format"), int(image.format())}};
    }

public:
    QDBusConnection* m_bus = nullptr;
};

class KWinCaptureTest final : public QObject {
    Q_OBJECT
private:
    std::unique_ptr<test::PrivateBus> m_bus;
    std::unique_ptr<QDBusConnection> m_kwinBus;
    FakeKWin m_kwin;

    Expected<std::vector<QImage>> ask(KWinCaptureBackend& backend,
                                      const std::vector<ScreenInfo>& screens) {
        const QFuture<CaptureBackend::Stills> answer = backend.grabStills(screens);
        if (!test::waitUntil([&] { return answer.isFinished(); }, 5000) ||
            answer.resultCount() != 1)
            return Error{QStringLiteral("no answer")};
        return answer.result();
    }

private slots:
    void initTestCase() {
        m_bus = std::make_unique<test::PrivateBus>();
        QVERIFY2(m_bus->isRunning(), "dbus-daemon did not start");
        m_kwinBus = std::make_unique<QDBusConnection>(m_bus->connect(QStringLiteral("kwin")));
        m_kwin.m_bus = m_kwinBus.get();
        QVERIFY(m_kwinBus->registerService(QLatin1String(KWinCaptureBackend::service)));
        QVERIFY(m_kwinBus->registerObject(QLatin1String(KWinCaptureBackend::path), &m_kwin,
                                          QDBusConnection::ExportAllSlots));
    }

    void eachScreenComesInItsOwnPixels() {
        // A 1080p screen beside one at scale 2, each as KWin keeps it (one in another
        // pixel layout), and a screen KWin does not know. The first has just changed its
        // mode: KWin sends more pixels than kestrova thinks it has.
        m_kwin.refuses = false;
        m_kwin.screens = {
            {QStringLiteral("DP-1"),
             test::noise(QSize(1920, 1080), 1).convertToFormat(QImage::Format_ARGB32)},
            {QStringLiteral("DP-2"),
             test::noise(QSize(2560, 1440), 2).convertToFormat(QImage::Format_RGBA8888)}};
        const std::vector<ScreenInfo> screens{
            {QStringLiteral("DP-1"), QRect(0, 0, 1280, 720), 1},
            {QStringLiteral("DP-2"), QRect(1280, 0, 1280, 720), 2},
            {QStringLiteral("HDMI-1"), QRect(2560, 0, 800, 600), 1}};
        auto standIn = std::make_shared<StandIn>();
        KWinCaptureBackend backend(standIn, m_bus->connect(QStringLiteral("kestrova")));
        const Expected<std::vector<QImage>> stills = ask(backend, screens);
        QVERIFY2(stills, qPrintable(stills ? QString() : stills.error().description));
        QCOMPARE(stills.value().size(), std::size_t(3));
        QCOMPARE(
            stills.value()[0],
            m_kwin.screens.value(QStringLiteral("DP-1")).convertToFormat(QImage::Format_RGB32));
        QCOMPARE(
            stills.value()[1],
            m_kwin.screens.value(QStringLiteral("DP-2")).convertToFormat(QImage::Format_RGB32));
        QVERIFY(stills.value()[2].isNull());
        QCOMPARE(standIn->asked, 0);
        QVERIFY(!backend.usesFallback());
        // Native pixels, without the pointer.
        QCOMPARE(m_kwin.options.last().value(QStringLiteral("native-resolution")).toBool(), true);
        QCOMPARE(m_kwin.options.last().value(QStringLiteral("include-cursor")).toBool(), false);
    }

    void refusalOrNoKWinHandsCapturesToThePortal_data() {
        QTest::addColumn<bool>("kwinRuns");
        QTest::newRow("KWin refuses kestrova") << true;
        QTest::newRow("no KWin on the bus") << false;
    }

    void refusalOrNoKWinHandsCapturesToThePortal() {
        QFETCH(bool, kwinRuns);
        m_kwin.refuses = true;
        if (!kwinRuns)
            m_kwinBus->unregisterService(QLatin1String(KWinCaptureBackend::service));
        const std::vector<ScreenInfo> screens{{QStringLiteral("DP-1"), QRect(0, 0, 64, 40), 1}};
        auto standIn = std::make_shared<StandIn>();
        KWinCaptureBackend backend(standIn, m_bus->connect(QStringLiteral("kestrova2")));
        for (int capture = 1; capture <= 2; ++capture) {
            const qsizetype callsBefore = m_kwin.options.size();
            const Expected<std::vector<QImage>> stills = ask(backend, screens);
            QVERIFY(stills);
            QCOMPARE(stills.value().front(), StandIn::marker());
            QCOMPARE(standIn->asked, capture);
            QVERIFY(backend.usesFallback());
            QCOMPARE(backend.failureHint(), QStringLiteral("from the portal"));
            // KWin is asked once only.
            if (capture == 2)
                QCOMPARE(m_kwin.options.size(), callsBefore);
        }
        if (!kwinRuns)
            QVERIFY(m_kwinBus->registerService(QLatin1String(KWinCaptureBackend::service)));
    }
};

QTEST_GUILESS_MAIN(KWinCaptureTest)
#include "tst_kwincapture.moc"
