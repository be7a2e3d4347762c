#include "SelectionOverlayController.h"

#include "CaptureService.h"
#include "OverlayWindowPool.h"
#include "TestSupport.h"
#include "X11CaptureBackend.h"

#include <QApplication>
#include <QBackingStore>
#include <QPainter>
#include <QPaintEvent>
#include <QPromise>
#include <QScreen>
#include <QTemporaryFile>
#include <QTest>

using namespace kestrova;

// Runs on an X server of its own, split into two monitors side by side, so that the
// shared display keeps its single screen.
namespace {

test::XServer* server = nullptr;
constexpr QRect bothMonitors(0, 0, 5120, 1440); // in X's pixels

QScreen* screenNamed(const QString& name) {
    for (QScreen* s : QGuiApplication::screens())
        if (s->name() == name)
            return s;
    return nullptr;
}

struct Outcome {
    bool called = false;
    std::optional<SelectionResult> result;
};

// A screen point in X's native pixels → the screen's own y-up points.
QPointF localPoint(QScreen* screen, QPoint native) {
    const double s = screen->devicePixelRatio();
    const QPointF p = QPointF(native - screen->geometry().topLeft()) / s;
    return {p.x(), screen->geometry().height() - p.y()};
}

void setRoot(const QString& colour) {
    server->client(QStringLiteral("xsetroot"), {QStringLiteral("-solid"), colour});
}

// A root of fine irregular detail in two colours, where a misplaced or stale pixel
// cannot hide.
void setPatternedRoot() {
    QTemporaryFile bitmap;
    bitmap.open();
    bitmap.write("#define p_width 7\n#define p_height 5\n"
                 "static unsigned char p_bits[] = {\n 0x13, 0x4a, 0x25, 0x58, 0x06 };\n");
    bitmap.flush();
    server->client(QStringLiteral("xsetroot"),
                   {QStringLiteral("-bitmap"), bitmap.fileName(), QStringLiteral("-fg"),
                    QStringLiteral("#d0a040"), QStringLiteral("-bg"), QStringLiteral("#3070c0")});
}

void xdotool(const QStringList& arguments) {
    test::xdotool(arguments, nullptr, server->environment());
}

// Pixels of `shown` in `area` that differ from `expected`, outside `except`.
int differing(const QImage& shown, const QImage& expected, const QRect& area, const QRect& except) {
    int count = 0;
    const QRect within = area.intersected(shown.rect());
    for (int y = within.top(); y <= within.bottom(); ++y) {
        for (int x = within.left(); x <= within.right(); ++x) {
            if (!except.contains(x, y) &&
                (shown.pixel(x, y) & 0xffffff) != (expected.pixel(x, y) & 0xffffff))
                ++count;
        }
    }
    return count;
}

// The X server's backend, counting the whole screens painted into overlay windows, or
// refusing to paint them as a window of another depth would; or, `late`, answering as a
// desktop's screenshot service does: when the test says, and with no painting of its own.
class CountingBackend final : public CaptureBackend {
public:
    explicit CountingBackend(std::shared_ptr<CaptureBackend> real) : m_real(std::move(real)) {}
    int wholeScreens = 0;
    bool refuses = false;
    bool late = false;

    Expected<QImage> grab(const QRect& nativeRect) override { return m_real->grab(nativeRect); }
    QFuture<Stills> grabStills(const std::vector<ScreenInfo>& screens) override {
        if (!late)
            return m_real->grabStills(screens);
        m_asked = screens;
        m_answer.start();
        return m_answer.future();
    }
    void answer() {
        m_answer.addResult(m_real->grabStills(m_asked).result());
        m_answer.finish();
    }
    bool isCompositing() const override { return m_real->isCompositing(); }
    QString failureHint() const override { return m_real->failureHint(); }
    bool paintsWindows() const override { return !late && m_real->paintsWindows(); }
    bool paintWindow(WId window, const QRegion& area, const BandRender& render) override {
        const QList<QScreen*> screens = QGuiApplication::screens();
        wholeScreens += std::any_of(screens.begin(), screens.end(), [&](const QScreen* screen) {
            return area == QRegion(QRect(QPoint(0, 0), ScreenInfo::of(screen).pixelSize()));
        });
        return !refuses && m_real->paintWindow(window, area, render);
    }

private:
    std::shared_ptr<CaptureBackend> m_real;
    std::vector<ScreenInfo> m_asked;
    QPromise<Stills> m_answer;
};

} // namespace

class SelectionOverlayTest final : public QObject {
    Q_OBJECT
private:
    std::shared_ptr<X11CaptureBackend> m_backend;
    CaptureService m_capture;

    void dragOn(int x0, int y0, int x1, int y1) {
        test::drag(x0, y0, x1, y1, server->environment());
    }

    // The patterned root of both monitors, as the overlay should show it over a still.
    QImage veiledPattern() {
        setPatternedRoot();
        QTest::qWait(200);
        QImage veiled = m_backend->grab(bothMonitors).value().convertToFormat(QImage::Format_RGB32);
        QPainter(&veiled).fillRect(veiled.rect(), QColor::fromRgbF(0, 0, 0, 0.35f));
        return veiled;
    }

    std::unique_ptr<SelectionOverlayController> begin(Outcome& outcome,
                                                      OverlayWindowPool* pool = nullptr) {
        auto controller = std::make_unique<SelectionOverlayController>(m_capture, nullptr, pool);
        controller->begin([&outcome](std::optional<SelectionResult> r) {
            outcome.called = true;
            outcome.result = r;
        });
        for (KeyableWindow* w : controller->windows()) {
            if (!QTest::qWaitForWindowExposed(w))
                qWarning("overlay window not shown");
        }
        test::settle();
        return controller;
    }

private slots:
    void initTestCase() {
        QCOMPARE(QGuiApplication::screens().size(), 2);
        m_backend = X11CaptureBackend::connect();
        QVERIFY(m_backend);
        m_capture.setBackend(m_backend);
    }

    void everyScreenGetsAnOverlayAndTheDragNamesItsScreen() {
        setRoot(QStringLiteral("#204080"));
        Outcome outcome;
        auto controller = begin(outcome);
        const auto windows = controller->windows();
        QCOMPARE(windows.size(), std::size_t(2));
        for (std::size_t i = 0; i < windows.size(); ++i)
            QCOMPARE(windows[i]->geometry(), QGuiApplication::screens()[int(i)]->geometry());

        QScreen* right = screenNamed(QStringLiteral("RIGHT"));
        dragOn(2560 + 300, 400, 2560 + 700, 700);
        QVERIFY(test::waitUntil([&] { return outcome.called; }));
        QVERIFY(outcome.result);
        QCOMPARE(outcome.result->screen.data(), right);
        const QPointF a = localPoint(right, {2560 + 300, 400});
        const QPointF b = localPoint(right, {2560 + 700, 700});
        QCOMPARE(outcome.result->rect, QRectF(a.x(), b.y(), b.x() - a.x(), a.y() - b.y()));
        QVERIFY(test::waitUntil([&] { return controller->windows().empty(); }));

        // Without a compositor the overlay froze the screen, and that is the capture.
        auto future = m_capture.captureFullDisplay(right);
        QVERIFY(future.isFinished());
        const QImage captured = future.result().value();
        QCOMPARE(captured.size(),
                 (QSizeF(right->geometry().size()) * right->devicePixelRatio()).toSize());
        QCOMPARE(captured.pixel(10, 10) & 0xffffff, 0x204080u);
    }

    void dragOnTheLeftScreenAtItsOwnScale() {
        Outcome outcome;
        auto controller = begin(outcome);
        QScreen* left = screenNamed(QStringLiteral("LEFT"));
        dragOn(200, 200, 600, 500);
        QVERIFY(test::waitUntil([&] { return outcome.called; }));
        QVERIFY(outcome.result);
        QCOMPARE(outcome.result->screen.data(), left);
        const QPointF a = localPoint(left, {200, 200});
        QCOMPARE(outcome.result->rect.topLeft().x(), a.x());
        QCOMPARE(outcome.result->rect.width(), 400 / left->devicePixelRatio());
        QCOMPARE(outcome.result->rect.height(), 300 / left->devicePixelRatio());
        m_capture.thaw();
    }

    void dragFromOneScreenIntoTheNextStaysOnTheFirst() {
        Outcome outcome;
        auto controller = begin(outcome);
        QScreen* left = screenNamed(QStringLiteral("LEFT"));
        // The pointer crosses into the right screen; the selection is the left one's, and
        // extends past its edge by as much as the pointer went.
        dragOn(2300, 300, 2700, 600);
        QVERIFY(test::waitUntil([&] { return outcome.called; }));
        QVERIFY(outcome.result);
        QCOMPARE(outcome.result->screen.data(), left);
        const QPointF a = localPoint(left, {2300, 300});
        const double scale = left->devicePixelRatio();
        QCOMPARE(outcome.result->rect.x(), a.x());
        QCOMPARE(outcome.result->rect.width(), 400 / scale);
        QCOMPARE(outcome.result->rect.height(), 300 / scale);
        QVERIFY(outcome.result->rect.right() > left->geometry().width());
        // Cropping keeps only what lies on the screen.
        auto future = m_capture.captureFullDisplay(left);
        QVERIFY(future.isFinished());
        const auto cropped = CaptureService::crop(future.result().value(), ScreenInfo::of(left),
                                                  outcome.result->rect);
        QVERIFY(cropped);
        QCOMPARE(cropped.value().width(), 2560 - 2300);
        m_capture.thaw();
    }

    void everyScreenShowsItsStillVeiledAndADragLeavesNothingStale() {
        setPatternedRoot();
        QTest::qWait(200);
        const QRect root = bothMonitors;
        const QImage before = m_backend->grab(root).value().copy();
        Outcome outcome;
        auto controller = begin(outcome);
        QTest::qWait(200);
        // Each screen shows its own still image under the veil, exactly.
        QImage veiled = before.convertToFormat(QImage::Format_RGB32);
        QPainter(&veiled).fillRect(veiled.rect(), QColor::fromRgbF(0, 0, 0, 0.35f));
        QCOMPARE(differing(m_backend->grab(root).value(), veiled, root, {}), 0);

        // Out to the lower right, then back past the start to the upper left: every
        // partial repaint on the way must leave nothing of the larger rectangle behind.
        QScreen* left = screenNamed(QStringLiteral("LEFT"));
        const double s = left->devicePixelRatio();
        xdotool({QStringLiteral("mousemove"), QStringLiteral("1200"), QStringLiteral("700")});
        xdotool({QStringLiteral("mousedown"), QStringLiteral("1")});
        for (int step = 1; step <= 8; ++step) {
            xdotool({QStringLiteral("mousemove"), QString::number(1200 + step * 110),
                     QString::number(700 + step * 70)});
            QTest::qWait(30);
        }
        for (int step = 1; step <= 8; ++step) {
            xdotool({QStringLiteral("mousemove"), QString::number(2080 - step * 160),
                     QString::number(1260 - step * 100)});
            QTest::qWait(30);
        }
        QTest::qWait(300);
        const QImage during = m_backend->grab(root).value();
        xdotool({QStringLiteral("mouseup"), QStringLiteral("1")});
        QVERIFY(test::waitUntil([&] { return outcome.called; }));
        QVERIFY(outcome.result);
        QCOMPARE(outcome.result->screen.data(), left);
        m_capture.thaw();

        // The hole runs from the last point (800, 460) to the start (1200, 700); the
        // frame and label sit on its edges, the label at its top left.
        const QRect hole(QPoint(800, 460), QPoint(1199, 699));
        const int slack = int(3 * s);
        const QRect label(hole.left() - int(12 * s), hole.top() - int(30 * s), int(160 * s),
                          int(60 * s));
        const QRect framed = hole.adjusted(-slack, -slack, slack, slack);
        QRect outside = left->geometry();
        outside.setSize(outside.size() * s);
        int stale = 0;
        for (const QRect& part : (QRegion(outside) - QRegion(framed) - QRegion(label)))
            stale += differing(during, veiled, part, {});
        QCOMPARE(stale, 0);
        const QRect inside = hole.adjusted(slack, slack, -slack, -slack);
        QCOMPARE(differing(during, before, inside, label), 0);
    }

    // A window kept from the last selection shows the new still only: nothing of the
    // old picture, frame or label comes back with it.
    void aKeptWindowShowsOnlyTheNewStill() {
        OverlayWindowPool pool;
        setPatternedRoot();
        QTest::qWait(200);
        Outcome first;
        auto controller = begin(first, &pool);
        const std::vector<KeyableWindow*> windows = controller->windows();
        xdotool({QStringLiteral("mousemove"), QStringLiteral("300"), QStringLiteral("300")});
        xdotool({QStringLiteral("mousedown"), QStringLiteral("1")});
        xdotool({QStringLiteral("mousemove"), QStringLiteral("900"), QStringLiteral("700")});
        QTest::qWait(100);
        xdotool({QStringLiteral("key"), QStringLiteral("Escape")});
        QVERIFY(test::waitUntil([&] { return first.called; }));
        xdotool({QStringLiteral("mouseup"), QStringLiteral("1")});
        QVERIFY(!first.result);
        QCOMPARE(pool.size(), windows.size());

        setRoot(QStringLiteral("#c08040"));
        QTest::qWait(200);
        const QRect root = bothMonitors;
        QImage veiled = m_backend->grab(root).value().convertToFormat(QImage::Format_RGB32);
        QPainter(&veiled).fillRect(veiled.rect(), QColor::fromRgbF(0, 0, 0, 0.35f));
        Outcome second;
        auto again = begin(second, &pool);
        QCOMPARE(again->windows(), windows);
        QCOMPARE(pool.size(), 0u);
        QCOMPARE(differing(m_backend->grab(root).value(), veiled, root, {}), 0);
        xdotool({QStringLiteral("key"), QStringLiteral("Escape")});
        QVERIFY(test::waitUntil([&] { return second.called; }));

        QList<QPointer<KeyableWindow>> kept(windows.begin(), windows.end());
        pool.clear();
        for (const auto& window : kept)
            QVERIFY(!window);
    }

    // While the screens are read, each window that will show them gets the memory it is
    // drawn into, and shows the still from that same memory once the answer comes.
    void windowsAreMadeReadyWhileTheScreensAreRead() {
        const QImage veiled = veiledPattern();
        const auto late = std::make_shared<CountingBackend>(m_backend);
        late->late = true;
        m_capture.setBackend(late);
        OverlayWindowPool pool;
        Outcome outcome;
        auto controller = begin(outcome, &pool);
        const auto drawingMemory = [](KeyableWindow* window) {
            QBackingStore* store = window->backingStore();
            const auto* image = store ? dynamic_cast<const QImage*>(store->paintDevice()) : nullptr;
            return image ? image->constBits() : nullptr;
        };
        std::vector<std::pair<KeyableWindow*, const uchar*>> readied;
        for (QScreen* screen : QGuiApplication::screens()) {
            KeyableWindow* window = pool.take(screen, false);
            QVERIFY(!window->isVisible() && drawingMemory(window));
            readied.emplace_back(window, drawingMemory(window));
        }
        for (const auto& [window, memory] : readied)
            pool.giveBack(window);

        late->answer();
        QVERIFY(test::waitUntil([&] { return controller->windows().size() == readied.size(); }));
        for (std::size_t i = 0; i < readied.size(); ++i) {
            QVERIFY(QTest::qWaitForWindowExposed(controller->windows()[i]));
            QCOMPARE(controller->windows()[i], readied[i].first);
            QCOMPARE(drawingMemory(readied[i].first), readied[i].second);
        }
        test::settle();
        QCOMPARE(differing(m_backend->grab(bothMonitors).value(), veiled, bothMonitors, {}), 0);
        xdotool({QStringLiteral("key"), QStringLiteral("Escape")});
        QVERIFY(test::waitUntil([&] { return outcome.called; }));
        m_capture.setBackend(m_backend);
    }

    // Where the display will not take the pixels straight into the windows, the overlay
    // paints as other windows do, and shows the same.
    void aDisplayRefusingDirectPixelsStillShowsTheVeil() {
        const QImage veiled = veiledPattern();
        const QRect root = bothMonitors;
        const auto refusing = std::make_shared<CountingBackend>(m_backend);
        refusing->refuses = true;
        m_capture.setBackend(refusing);
        Outcome outcome;
        auto controller = begin(outcome);
        QTest::qWait(200);
        QVERIFY(refusing->wholeScreens > 0);
        QCOMPARE(differing(m_backend->grab(root).value(), veiled, root, {}), 0);
        xdotool({QStringLiteral("key"), QStringLiteral("Escape")});
        QVERIFY(test::waitUntil([&] { return outcome.called; }));
        m_capture.setBackend(m_backend);
    }

    // Painting a whole screen is the bulk of the work before the overlay shows: each
    // screen is painted once, and taking the keyboard after that paint must not repeat it.
    void everyScreenIsPaintedOnce() {
        OverlayWindowPool pool;
        const auto counter = std::make_shared<CountingBackend>(m_backend);
        m_capture.setBackend(counter);
        for (int round = 0; round < 2; ++round) { // new windows, then kept ones
            counter->wholeScreens = 0;
            Outcome outcome;
            SelectionOverlayController controller(m_capture, nullptr, &pool);
            controller.begin([&outcome](std::optional<SelectionResult> r) {
                outcome.called = true;
                outcome.result = r;
            });
            const std::vector<KeyableWindow*> windows = controller.windows();
            for (KeyableWindow* w : windows)
                QVERIFY(QTest::qWaitForWindowExposed(w));
            QTest::qWait(300);
            QCOMPARE(counter->wholeScreens, int(windows.size()));

            for (KeyableWindow* w : windows) {
                w->content()->clearFocus();
                w->content()->setFocus();
            }
            QTest::qWait(300);
            QCOMPARE(counter->wholeScreens, int(windows.size()));
            xdotool({QStringLiteral("key"), QStringLiteral("Escape")});
            QVERIFY(test::waitUntil([&] { return outcome.called; }));
        }
        m_capture.setBackend(m_backend);
    }

    void escapeRightAwayAndClicksCancel() {
        Outcome outcome;
        auto controller = begin(outcome);
        test::xdotool({QStringLiteral("key"), QStringLiteral("Escape")}, nullptr,
                      server->environment());
        QVERIFY(test::waitUntil([&] { return outcome.called; }));
        QVERIFY(!outcome.result);

        Outcome clicked;
        auto again = begin(clicked);
        test::xdotool({QStringLiteral("mousemove"), QStringLiteral("900"), QStringLiteral("500"),
                       QStringLiteral("click"), QStringLiteral("1")},
                      nullptr, server->environment());
        QVERIFY(test::waitUntil([&] { return clicked.called; }));
        QVERIFY(!clicked.result);
    }

    void withACompositorTheOverlayIsLiveAndLeavesTheCapture() {
        server->start(QStringLiteral("xcompmgr"), {});
        QVERIFY(test::waitUntil([&] { return m_backend->isCompositing(); }, 5000));
        QTest::qWait(1000); // let the compositor paint the screen once
        Outcome outcome;
        auto controller = begin(outcome);
        for (KeyableWindow* w : controller->windows())
            QVERIFY(w->testAttribute(Qt::WA_TranslucentBackground));
        dragOn(2560 + 100, 100, 2560 + 400, 300);
        QVERIFY(test::waitUntil([&] { return outcome.called; }));
        QVERIFY(outcome.result);
        auto future = m_capture.captureFullDisplay(outcome.result->screen);
        QVERIFY(test::waitUntil([&] { return future.isFinished(); }, 5000));
        const QImage captured = future.result().value();
        // Read after the overlay left: the screen as it is without it, not dimmed.
        QTest::qWait(300);
        const QImage after =
            m_backend->grab(ScreenInfo::of(outcome.result->screen).nativeRect()).value();
        QCOMPARE(captured.size(), after.size());
        QCOMPARE(captured.pixel(200, 200), after.pixel(200, 200));
        QCOMPARE(captured.pixel(1000, 1000), after.pixel(1000, 1000));
    }
};

int main(int argc, char** argv) {
    test::XServer own(5120, 1440);
    if (!own.isRunning())
        return 1;
    server = &own;
    own.splitIntoTwoMonitors();
    qputenv("DISPLAY", own.display().toUtf8());
    // Mixed scale factors, given with commas since a test's environment cannot hold ';'.
    const QByteArray scales = qgetenv("KESTROVA_TEST_SCALES");
    if (!scales.isEmpty())
        qputenv("QT_SCREEN_SCALE_FACTORS", QByteArray(scales).replace(',', ';'));
    QApplication app(argc, argv);
    SelectionOverlayTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_selectionoverlay.moc"
