// Turning a compositor's copy of an output into the screen's still: rows the compositor
// sends bottom first, pixel layouts other than Qt's own, outputs turned on their side
// and fractional scales; and the memory sway copies into. (Run in a headless sway
// session; the whole route runs against sway in tst_wayland too.)

#include "ImageRecycler.h"
#include "ScreencopyCaptureBackend.h"
#include "TestSupport.h"

#include <QProcess>
#include <QTest>

#include <algorithm>
#include <array>

using namespace kestrova;

class ScreencopyTest final : public QObject {
    Q_OBJECT
private slots:
    void framesComeOutUprightOpaqueAndAtTheScreensSize() {
        ImageRecycler memory;
        const QImage screen = test::noise(QSize(64, 40), 3);
        const QImage sent = test::withoutAlpha(screen);
        const auto upright = [&](const QImage& pixels, bool yInverted, int transform, QSize size) {
            return ScreencopyCaptureBackend::upright({pixels, transform, yInverted}, size, memory);
        };
        QCOMPARE(upright(sent, false, 0, screen.size()), screen);
        QVERIFY(test::storedOpaque(upright(sent, false, 0, screen.size())));
        QCOMPARE(upright(sent.mirrored(false, true), true, 0, screen.size()), screen);
        QVERIFY(test::storedOpaque(upright(sent.mirrored(false, true), true, 0, screen.size())));
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

        // Upright and in Qt's layout, a frame is the still where it lies, opaque to the
        // last row (a screen's worth is done in halves).
        const QImage whole = test::noise(QSize(1920, 1080), 4);
        QImage alone = test::withoutAlpha(whole);
        const uchar* where = alone.constBits();
        const QImage still =
            ScreencopyCaptureBackend::upright({std::move(alone), 0, false}, whole.size(), memory);
        QCOMPARE(still.constBits(), where);
        QVERIFY(still == whole && test::storedOpaque(still));
    }

    // A still keeps the memory sway copied it into for as long as it is held: a capture
    // meanwhile gets other memory (the still on screen or in the editor would change
    // under the user otherwise), and later ones get it back once it is let go.
    void aHeldStillKeepsItsMemoryUntilLetGo() {
        const std::shared_ptr<ScreencopyCaptureBackend> backend =
            ScreencopyCaptureBackend::connect();
        QVERIFY2(backend, "run this test through wayland_session.sh sway");
        const std::vector<ScreenInfo> output{{QString(), QRect(0, 0, 1920, 1080), 1}};
        QImage still;
        const auto paintAndTake = [&](const QString& colour) {
            QProcess::execute(QStringLiteral("swaymsg"),
                              {QStringLiteral("output * bg %1 solid_color").arg(colour)});
            return test::waitUntil([&] {
                still = QImage(); // only the stills held by the test are kept from one to the next
                const CaptureBackend::Stills stills = backend->grabStills(output).result();
                still = stills ? stills.value().front() : QImage();
                return !still.isNull() && still.pixel(5, 5) == QColor(colour).rgb();
            });
        };
        QVERIFY(paintAndTake(QStringLiteral("#ff0000")));
        QImage red = still;
        QVERIFY(paintAndTake(QStringLiteral("#0000ff")));
        QVERIFY(still.constBits() != red.constBits());
        QImage expected(red.size(), QImage::Format_RGB32);
        expected.fill(QColor(0xff, 0, 0));
        QVERIFY(red == expected);

        const std::array kept{red.constBits(), still.constBits()};
        red = still = QImage();
        QVERIFY(paintAndTake(QStringLiteral("#00ff00")));
        QVERIFY(std::find(kept.begin(), kept.end(), still.constBits()) != kept.end());
    }
};

QTEST_GUILESS_MAIN(ScreencopyTest)
#include "tst_screencopy.moc"
