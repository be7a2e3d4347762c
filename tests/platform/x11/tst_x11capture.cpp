#include "X11CaptureBackend.h"

#include "CaptureError.h"
#include "CaptureService.h"
#include "TestSupport.h"

#include <QApplication>
#include <QPainter>
#include <QScreen>
#include <QTest>
#include <QWidget>
#include <QWindow>

#include <vector>

#include <sys/ipc.h>
#include <sys/shm.h>

using namespace kestrova;

namespace {

// Shows an image pixel for pixel over a whole screen, above everything.
class PatternWindow final : public QWidget {
public:
    void setPattern(QImage pattern) {
        m_pattern = std::move(pattern);
        m_pattern.setDevicePixelRatio(devicePixelRatioF());
        repaint();
    }
    PatternWindow(QScreen* screen, QImage pattern)
        : QWidget(nullptr, Qt::Window | Qt::FramelessWindowHint | Qt::BypassWindowManagerHint),
          m_pattern(std::move(pattern)) {
        m_pattern.setDevicePixelRatio(screen->devicePixelRatio());
        setAttribute(Qt::WA_OpaquePaintEvent);
        setScreen(screen);
        setGeometry(screen->geometry());
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.drawImage(QPointF(0, 0), m_pattern);
    }

private:
    QImage m_pattern;
};

QImage pattern(QSize pixels) {
    QImage image(pixels, QImage::Format_RGB32);
    for (int y = 0; y < pixels.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < pixels.width(); ++x)
            line[x] = qRgb((x * 13 + y) & 0xff, (y * 7) & 0xff, ((x / 8) ^ (y / 8)) * 37 & 0xff);
    }
    return image;
}

} // namespace

class X11CaptureTest final : public QObject {
    Q_OBJECT
private:
    std::shared_ptr<X11CaptureBackend> m_backend;
    CaptureService m_capture;

    // Waits until the screen at `area` shows `image` (its top-left corner, read back).
    bool shows(const QRect& area, const QImage& image) {
        const QRect corner(area.topLeft(), QSize(64, 64));
        const QImage expected = image.copy(0, 0, 64, 64).convertToFormat(QImage::Format_RGB32);
        return test::waitUntil([&] {
            const Expected<QImage> read = m_backend->grab(corner);
            return read && read.value().convertToFormat(QImage::Format_RGB32) == expected;
        });
    }

private slots:
    void initTestCase() {
        m_backend = X11CaptureBackend::connect();
        QVERIFY(m_backend);
        m_capture.setBackend(m_backend);
    }
    void cleanupTestCase() { m_capture.setBackend(nullptr); }

    void captureIsTheScreenPixelForPixel() {
        QScreen* screen = QGuiApplication::primaryScreen();
        const ScreenInfo info = ScreenInfo::of(screen);
        const QImage expected = pattern(info.pixelSize());
        PatternWindow window(screen, expected);
        window.show();
        QVERIFY(shows(info.nativeRect(), expected));

        auto future = m_capture.captureFullDisplay(screen);
        test::waitUntil([&] { return future.isFinished(); }, 10000);
        const Expected<QImage> captured = future.result();
        QVERIFY2(captured, qPrintable(captured ? QString() : captured.error().description));
        // Full pixel size: the point size times the scale (2 when QT_SCALE_FACTOR=2).
        QCOMPARE(captured.value().size(),
                 (QSizeF(screen->geometry().size()) * screen->devicePixelRatio()).toSize());
        QCOMPARE(captured.value().convertToFormat(QImage::Format_RGB32), expected);

        // The plain request path (no shared memory on remote displays) reads the same.
        const auto part =
            m_backend->grab(QRect(info.nativeRect().topLeft() + QPoint(5, 7), QSize(300, 200)));
        QVERIFY(part);
        QCOMPARE(part.value().pixel(0, 0), expected.pixel(5, 7));
        QCOMPARE(part.value().pixel(299, 199), expected.pixel(304, 206));
    }

    void heldImagesAreNeverOverwrittenByLaterCaptures() {
        QScreen* screen = QGuiApplication::primaryScreen();
        const QRect area = ScreenInfo::of(screen).nativeRect();
        QImage first = pattern(area.size());
        QImage second = first.mirrored(true, false);
        PatternWindow window(screen, first);
        window.show();
        QVERIFY(shows(area, first));
        const QImage held = m_backend->grab(area).value();
        window.setPattern(second);
        QVERIFY(shows(area, second));
        m_backend->releaseCaches(); // must not pull the memory from under a held image
        QImage next = m_backend->grab(area).value();
        QCOMPARE(held, first);
        QCOMPARE(next, second);
        next = QImage(); // its memory is free for the next capture

        window.setPattern(first);
        QVERIFY(shows(area, first));
        QImage again = m_backend->grab(area).value(); // reuses a segment now free
        QCOMPARE(again, first);
        QCOMPARE(held, first);
    }

    void aPassingShortageOfSharedMemoryCostsOneCaptureOnly() {
        if (!m_backend->sharesMemory())
            QSKIP("this X server has no shared memory");
        QScreen* screen = QGuiApplication::primaryScreen();
        const QRect area = ScreenInfo::of(screen).nativeRect();
        const QImage expected = pattern(area.size());
        PatternWindow window(screen, expected);
        window.show();
        QVERIFY(shows(area, expected));
        // A new connection, whose first capture needs a segment.
        const std::shared_ptr<X11CaptureBackend> fresh = X11CaptureBackend::connect();

        // Every segment the system allows is taken, for a moment.
        std::vector<int> taken;
        for (int id;
             taken.size() < 100000 && (id = ::shmget(IPC_PRIVATE, 1, IPC_CREAT | 0600)) >= 0;)
            taken.push_back(id);
        const Expected<QImage> during = fresh->grab(area);
        for (const int id : taken)
            ::shmctl(id, IPC_RMID, nullptr);
        QVERIFY(during);
        QCOMPARE(during.value(), expected);
        QVERIFY(fresh->sharesMemory());
        QCOMPARE(fresh->grab(area).value(), expected);
    }

    // The overlay writes its pixels straight into its windows, band by band: the bands
    // must meet without a seam, every pixel in its place, with shared memory or without.
    void aWindowPaintedInBandsShowsEveryPixelInItsPlace() {
        QVERIFY(m_backend->paintsWindows());
        QScreen* screen = QGuiApplication::primaryScreen();
        const QRect area = ScreenInfo::of(screen).nativeRect();
        const QImage expected = pattern(area.size());
        QWindow window(screen); // bare: nothing of Qt's paints into it
        window.setFlags(Qt::Window | Qt::FramelessWindowHint | Qt::BypassWindowManagerHint);
        window.setGeometry(screen->geometry());
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        const auto from = [](const QImage& source, int* bands = nullptr) {
            return [&source, bands](QImage& band, const QRect& at) {
                QPainter(&band).drawImage(QPoint(0, 0), source, at);
                if (bands)
                    ++*bands;
            };
        };
        int bands = 0;
        QVERIFY(m_backend->paintWindow(window.winId(), QRect(QPoint(0, 0), area.size()),
                                       from(expected, &bands)));
        QVERIFY(bands > 1);
        QCOMPARE(m_backend->grab(area).value(), expected);

        // A part at an odd place: only that part changes.
        const QImage other = expected.mirrored(true, true);
        const QRect part(37, 101, 611, 333);
        QVERIFY(m_backend->paintWindow(window.winId(), part, from(other)));
        QImage now = expected.copy();
        QPainter(&now).drawImage(part.topLeft(), other, part);
        QCOMPARE(m_backend->grab(area).value(), now);
    }

    void areaOffTheDisplayIsNoDisplay() {
        const auto gone = m_backend->grab(QRect(100000, 0, 100, 100));
        QVERIFY(!gone);
        QVERIFY(CaptureError::is(gone.error(), CaptureError::Kind::noDisplay));
        QVERIFY(!m_backend->isCompositing()); // the shared test display has no compositor
        QVERIFY(m_backend->failureHint().startsWith(QStringLiteral("\n\n")));
    }
};

QTEST_MAIN(X11CaptureTest)
#include "tst_x11capture.moc"
