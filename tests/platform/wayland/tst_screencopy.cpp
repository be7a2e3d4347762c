// Turning a compositor's copy of an output into the screen's still: rows the compositor
// sends bottom first, pixel layouts other than Qt's own, outputs turned on their side
// and fractional scales. (The whole route runs against sway in tst_wayland, whose
// copies come top first, upright and in Qt's layout.)

#include "ImageRecycler.h"
#include "ScreencopyCaptureBackend.h"
#include "TestSupport.h"

#include <QTest>

using namespace kestrova;

class ScreencopyTest final : public QObject {
    Q_OBJECT
private slots:
    void framesComeOutUprightOpaqueAndAtTheScreensSize() {
        ImageRecycler memory;
        const QImage screen = test::noise(QSize(64, 40), 3);
        // The compositor's unused byte is not left in the picture.
        QImage sent = screen;
        for (int y = 0; y < sent.height(); ++y) {
            auto* line = reinterpret_cast<QRgb*>(sent.scanLine(y));
            for (int x = 0; x < sent.width(); ++x)
                line[x] &= 0x00ffffffu;
        }
        const auto upright = [&](const QImage& pixels, bool yInverted, int transform, QSize size) {
            return ScreencopyCaptureBackend::upright({pixels, transform, yInverted}, size, memory);
        };
        QCOMPARE(upright(sent, false, 0, screen.size()), screen);
        QCOMPARE(upright(sent.mirrored(false, true), true, 0, screen.size()), screen);
        // Bytes R, G, B, X, bottom row first.
        const QImage bytes = screen.convertToFormat(QImage::Format_RGBX8888).mirrored(false, true);
        QCOMPARE(upright(bytes, true, 0, screen.size()), screen);
        // An output turned a quarter: its buffer holds the picture the other way round.
        QTransform quarter;
        quarter.rotate(-90);
        QCOMPARE(upright(screen.transformed(quarter), false, 1, screen.size()), screen);
        // A fractional scale: Qt's screen has more pixels than the output's buffer.
        const QImage scaled = upright(sent, false, 0, QSize(96, 60));
        QCOMPARE(scaled.size(), QSize(96, 60));
        QCOMPARE(qAlpha(scaled.pixel(50, 30)), 255);
        QVERIFY(upright(QImage(), false, 0, screen.size()).isNull());
    }
};

QTEST_GUILESS_MAIN(ScreencopyTest)
#include "tst_screencopy.moc"
