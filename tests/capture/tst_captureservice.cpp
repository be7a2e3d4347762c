#include "CaptureService.h"

#include "CaptureError.h"
#include "TestSupport.h"

#include <QGuiApplication>
#include <QScreen>
#include <QTemporaryFile>
#include <QTest>

using namespace kestrova;

namespace {

ScreenInfo screen(int w, int h, double scale) {
    return {QStringLiteral("test"), QRect(0, 0, w, h), scale};
}

} // namespace

class CaptureServiceTest final : public QObject {
    Q_OBJECT
private slots:
    void cropTurnsPointsIntoCaptureRows() {
        const QImage capture = test::pattern(2880, 1800);
        const auto cut =
            CaptureService::crop(capture, screen(1440, 900, 2), QRectF(100, 200, 300, 150));
        QVERIFY(cut);
        QCOMPARE(cut.value().size(), QSize(600, 300));
        QCOMPARE(cut.value().pixel(0, 0), capture.pixel(200, 1100));
        QCOMPARE(cut.value().pixel(599, 299), capture.pixel(799, 1399));
    }

    void cropAtTheScreenEdges() {
        const QImage capture = test::pattern(800, 600);
        const ScreenInfo s = screen(800, 600, 1);
        const auto top = CaptureService::crop(capture, s, QRectF(10, 500, 50, 100));
        QVERIFY(top);
        QCOMPARE(top.value().pixel(0, 0), capture.pixel(10, 0)); // top edge → row 0
        const auto bottom = CaptureService::crop(capture, s, QRectF(10, 0, 50, 100));
        QCOMPARE(bottom.value().pixel(0, 99), capture.pixel(10, 599)); // ends at the last row

        const auto partly = CaptureService::crop(capture, s, QRectF(700, -50, 200, 100));
        QVERIFY(partly);
        QCOMPARE(partly.value().size(), QSize(100, 50));
        QCOMPARE(partly.value().pixel(0, 0), capture.pixel(700, 550));

        for (const QRectF& outside :
             {QRectF(900, 100, 50, 50), QRectF(10, -200, 50, 100), QRectF(10, 10, 0, 50)}) {
            const auto none = CaptureService::crop(capture, s, outside);
            QVERIFY(!none);
            QVERIFY(CaptureError::is(none.error(), CaptureError::Kind::cropFailed));
            QCOMPARE(none.error().description,
                     QStringLiteral("Failed to crop the captured image to the selection."));
        }
    }

    void cropsAreOpaqueAndKeepEveryFormatWhole() {
        // Display servers leave RGB32's fourth byte at zero; a crop says opaque.
        const QImage capture = test::withoutAlpha(test::pattern(64, 48));
        const QImage cut = CaptureService::crop(capture, screen(64, 48, 1), {3, 5, 40, 30}).value();
        QVERIFY(test::storedOpaque(cut));
        QCOMPARE(cut, capture.copy(3, 13, 40, 30));

        // Padded formats large enough for a buffer of their own, and colour tables.
        for (const QImage::Format format :
             {QImage::Format_RGB666, QImage::Format_RGB555, QImage::Format_RGB444,
              QImage::Format_ARGB8555_Premultiplied, QImage::Format_Indexed8}) {
            QImage big = test::pattern(2048, 1100).convertToFormat(format);
            const QImage part =
                CaptureService::crop(big, screen(2048, 1100, 1), {10, 20, 2000, 1000}).value();
            QCOMPARE(part, big.copy(10, 80, 2000, 1000));
        }
    }

    void stillsBelongToTheirScreenNotItsName() {
        // Two outputs of one name (virtual outputs, some drivers).
        const QList<QScreen*> screens = QGuiApplication::screens();
        QCOMPARE(screens.size(), 2);
        QCOMPARE(screens[0]->name(), screens[1]->name());
        CaptureService service;
        service.freeze(screens[0], test::pattern(100, 80));
        const auto other = service.captureFullDisplay(screens[1]).result();
        QVERIFY(!other); // no backend: only a still of its own could have served it
        service.freeze(screens[0], test::pattern(100, 80));
        QCOMPARE(service.captureFullDisplay(screens[0]).result().value(), test::pattern(100, 80));
    }

    void captureWithoutADisplayFails() {
        CaptureService service;
        QVERIFY(!service.backend());
        auto future = service.captureFullDisplay(nullptr);
        QVERIFY(CaptureError::is(future.result().error(), CaptureError::Kind::noDisplay));
        QCOMPARE(future.result().error().description,
                 QStringLiteral("Could not find the display to capture."));
    }
};

int main(int argc, char** argv) {
    // The offscreen platform, with two screens of one name.
    QTemporaryFile config;
    if (!config.open())
        return 1;
    config.write(R"({"screens": [
        {"name": "Same", "x": 0, "y": 0, "width": 100, "height": 80, "logicalDpi": 96},
        {"name": "Same", "x": 100, "y": 0, "width": 100, "height": 80, "logicalDpi": 96}]})");
    config.close();
    qputenv("QT_QPA_PLATFORM", "offscreen:configfile=" + QFile::encodeName(config.fileName()));
    QGuiApplication app(argc, argv);
    CaptureServiceTest test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_captureservice.moc"
