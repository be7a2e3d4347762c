#include "CaptureService.h"

#include "CaptureError.h"
#include "TestSupport.h"

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

    void captureWithoutADisplayFails() {
        CaptureService service;
        QVERIFY(!service.backend());
        auto future = service.captureFullDisplay(nullptr);
        QVERIFY(CaptureError::is(future.result().error(), CaptureError::Kind::noDisplay));
        QCOMPARE(future.result().error().description,
                 QStringLiteral("Could not find the display to capture."));
    }
};

QTEST_MAIN(CaptureServiceTest)
#include "tst_captureservice.moc"
