#include "EditorView.h"

#include "CaptureService.h"
#include "FreehandAnnotation.h"
#include "LineAnnotation.h"
#include "ModelGeometry.h"
#include "Palette.h"
#include "ScreenshotEncoder.h"
#include "SizeLabel.h"
#include "TestSupport.h"

#include <QBuffer>
#include <QLineEdit>
#include <QPainter>
#include <QTest>

using namespace kestrova;

namespace {

// A capture with structure everywhere, so misplaced pixels show.
QImage capture(QSize pixels) {
    QImage image(pixels, QImage::Format_RGB32);
    for (int y = 0; y < pixels.height(); ++y)
        for (int x = 0; x < pixels.width(); ++x)
            image.setPixel(x, y,
                           qRgb((x * 7) % 200 + 20, (y * 5) % 200 + 20, ((x + y) * 3) % 200 + 20));
    return image;
}

ScreenInfo screen(int w, int h, double scale) {
    return {QStringLiteral("t"), QRect(0, 0, w, h), scale};
}

// What the editor shows, at device pixels.
QImage onScreen(const EditorView& view, double scale) {
    QImage image((QSizeF(view.size()) * scale).toSize(), QImage::Format_RGB32);
    image.setDevicePixelRatio(scale);
    QPainter painter(&image);
    view.render(painter, QRectF(view.rect()));
    return image;
}

// A round trip through PNG, as a saved or pasted image would make it.
QImage decodedPng(const QImage& image) {
    return test::decode(ScreenshotEncoder::encode(image, ImageFormat::png).value())
        .convertToFormat(QImage::Format_RGB32);
}

constexpr QRgb strokeRed = 0xffff0000;

} // namespace

class CanvasRenderingTest final : public QObject {
    Q_OBJECT
private slots:
    void flattenIsAtTheCapturesResolution() {
        EditorView view(capture({1600, 1200}), screen(800, 600, 2), QRectF(100, 100, 100, 50),
                        Palette::colors()[0], 4);
        QCOMPARE(SizeLabel::text(view.selectionRect(), 2), QStringLiteral("200 × 100"));
        const auto flat = view.flatten();
        QVERIFY(flat);
        QCOMPARE(flat->size(), QSize(200, 100));

        EditorView oneAndAHalf(capture({1200, 900}), screen(800, 600, 1.5), QRectF(10, 10, 33, 20),
                               Palette::colors()[0], 4);
        QCOMPARE(SizeLabel::text(oneAndAHalf.selectionRect(), 1.5), QStringLiteral("50 × 30"));
        QCOMPARE(oneAndAHalf.flatten()->width(), 50);

        // The canvas draws the label itself, its white text (the capture has none)
        // reaching to the label's right margin: the text for the screen's own scale.
        EditorView plain(capture({800, 600}), screen(800, 600, 1), QRectF(100, 100, 100, 50),
                         Palette::colors()[0], 4);
        for (const auto& [v, s] : {std::pair<EditorView*, double>{&view, 2}, {&plain, 1}}) {
            const QImage shown = onScreen(*v, s);
            const QRectF area = SizeLabel::area(v->selectionRect(), s, v->height());
            const QRect px = QRectF(area.topLeft() * s, area.size() * s).toAlignedRect();
            int rightmostWhite = -1;
            // The upper part only: the selection's handles reach into the label's foot.
            for (int y = px.top(); y < px.top() + px.height() * 6 / 10; ++y) {
                for (int x = px.left(); x <= px.right(); ++x) {
                    const QRgb p = shown.pixel(x, y);
                    if (qRed(p) > 235 && qGreen(p) > 235 && qBlue(p) > 235)
                        rightmostWhite = std::max(rightmostWhite, x);
                }
            }
            // 5 points of margin, and up to 3 of the last glyph's own bearing.
            QVERIFY2(
                rightmostWhite >= px.right() - 8 * s,
                qPrintable(
                    QStringLiteral("%1: %2 of %3").arg(s).arg(rightmostWhite).arg(px.right())));
        }
    }

    void withoutAnnotationsTheResultIsThePlainCrop() {
        const QImage source = capture({1600, 1200});
        EditorView view(source, screen(800, 600, 2), QRectF(100, 100, 100, 50),
                        Palette::colors()[0], 4);
        const QImage expected =
            CaptureService::crop(source, screen(800, 600, 2), QRectF(100, 100, 100, 50)).value();
        QCOMPARE(decodedPng(*view.flatten()), expected);
    }

    void strokesAreCutAtTheSelectionEdge() {
        const double scale = 2;
        EditorView view(capture({1600, 1200}), screen(800, 600, scale), QRectF(100, 100, 200, 200),
                        QColor(strokeRed), 6);
        view.canvas().setActiveTool(Tool::line);
        view.canvas().press({150, 200});
        view.canvas().drag({400, 200}); // leaves the selection at x = 300
        view.canvas().release();

        const QImage shown = onScreen(view, scale);
        const auto shownAt = [&](double x, double y) {
            const QPointF w = geometry::toWidget(QPointF(x, y), 600);
            return shown.pixel(int(w.x() * scale), int(w.y() * scale));
        };
        QVERIFY(test::near(shownAt(250, 200), strokeRed, 4));
        QVERIFY(!test::near(shownAt(350, 200), strokeRed, 60));

        const QImage flat = decodedPng(*view.flatten());
        QCOMPARE(flat.size(), QSize(400, 400));
        // Row 200 (the middle) at full resolution; the line is 12 pixels thick there.
        QVERIFY(test::near(flat.pixel(300, 200), strokeRed, 4));
        QVERIFY(test::near(flat.pixel(399, 200), strokeRed, 4)); // right up to the edge
        QVERIFY(test::near(flat.pixel(300, 194), strokeRed, 4));
        QVERIFY(!test::near(flat.pixel(300, 190), strokeRed, 60));
    }

    void markerStrokesOverlapOnlyBetweenStrokes() {
        QImage white(400, 400, QImage::Format_RGB32);
        white.fill(Qt::white);
        EditorView view(white, screen(400, 400, 1), QRectF(0, 0, 400, 400), QColor(0, 0, 255), 4);
        view.canvas().setActiveTool(Tool::marker);
        const auto stroke = [&](std::initializer_list<QPointF> points) {
            auto it = points.begin();
            view.canvas().press(*it);
            for (++it; it != points.end(); ++it)
                view.canvas().drag(*it);
            view.canvas().release();
        };
        stroke({{20, 100}, {180, 100}, {100, 180}, {100, 20}}); // crosses itself at (100, 100)
        stroke({{220, 300}, {380, 300}});
        stroke({{300, 380}, {300, 220}}); // crosses the previous stroke at (300, 300)
        const QImage flat = decodedPng(*view.flatten());
        const auto px = [&](int x, int y) { return flat.pixel(x, 399 - y); };
        QVERIFY(px(60, 100) != qRgb(255, 255, 255));
        QCOMPARE(px(100, 100), px(60, 100));
        QCOMPARE(px(260, 300), px(60, 100));
        QVERIFY(qRed(px(300, 300)) < qRed(px(260, 300)) - 40);
    }

    void flattenCommitsTheOpenField() {
        EditorView view(capture({800, 600}), screen(800, 600, 1), QRectF(100, 100, 400, 300),
                        QColor(0, 0, 0), 4);
        view.canvas().setActiveTool(Tool::text);
        QTest::mouseClick(&view, Qt::LeftButton, {}, QPoint(200, 600 - 300));
        QLineEdit* field = view.activeTextField();
        QVERIFY(field);
        QCOMPARE(field->placeholderText(), QStringLiteral("Text…"));
        QCOMPARE(field->width(), 320);
        QCOMPARE(field->height(), 36);
        QTest::keyClicks(field, QStringLiteral("abc"));

        const QImage flat = decodedPng(*view.flatten());
        QVERIFY(!view.activeTextField());
        QCOMPARE(view.canvas().annotations().size(), std::size_t(1));
        // The text lies right of x = 202 and above y = 303 (model), i.e. in the crop's
        // rows above 300 − (303 − 100) = 97.
        int dark = 0;
        for (int y = 60; y < 97; ++y)
            for (int x = 100; x < 160; ++x)
                dark += qGray(flat.pixel(x, y)) < 30;
        QVERIFY2(dark > 20, qPrintable(QString::number(dark)));

        // An empty field adds nothing and still closes.
        QTest::mouseClick(&view, Qt::LeftButton, {}, QPoint(300, 300));
        QVERIFY(view.activeTextField());
        view.flatten();
        QVERIFY(!view.activeTextField());
        QCOMPARE(view.canvas().annotations().size(), std::size_t(1));
    }

    void escapeDiscardsTheFieldThenAsksToLeave() {
        EditorView view(capture({800, 600}), screen(800, 600, 1), QRectF(100, 100, 400, 300),
                        QColor(0, 0, 0), 4);
        int dismissals = 0;
        connect(&view, &EditorView::onDismiss, [&] { ++dismissals; });
        view.canvas().setActiveTool(Tool::text);
        QTest::mouseClick(&view, Qt::LeftButton, {}, QPoint(200, 300));
        QTest::keyClicks(view.activeTextField(), QStringLiteral("gone"));
        QTest::keyClick(view.activeTextField(), Qt::Key_Escape);
        QVERIFY(!view.activeTextField());
        QVERIFY(view.canvas().annotations().empty());
        QCOMPARE(dismissals, 0);
        QTest::keyClick(&view, Qt::Key_Escape);
        QCOMPARE(dismissals, 1);
    }

    void undoKeysWorkWithExtraModifiers() {
        EditorView view(capture({800, 600}), screen(800, 600, 1), QRectF(100, 100, 400, 300),
                        QColor(0, 0, 0), 4);
        QTest::mousePress(&view, Qt::LeftButton, {}, QPoint(200, 300));
        QTest::mouseMove(&view, QPoint(260, 340));
        QTest::mouseRelease(&view, Qt::LeftButton, {}, QPoint(260, 340));
        QTest::mousePress(&view, Qt::LeftButton, {}, QPoint(220, 300));
        QTest::mouseMove(&view, QPoint(280, 360));
        QTest::mouseRelease(&view, Qt::LeftButton, {}, QPoint(280, 360));
        QCOMPARE(view.canvas().annotations().size(), std::size_t(2));
        QTest::keyClick(&view, Qt::Key_Z, Qt::ControlModifier);
        QCOMPARE(view.canvas().annotations().size(), std::size_t(1));
        QTest::keyClick(&view, Qt::Key_Z, Qt::ControlModifier | Qt::ShiftModifier);
        QVERIFY(view.canvas().annotations().empty());
        QTest::keyClick(&view, Qt::Key_Z, Qt::ControlModifier); // nothing left: no harm
        QVERIFY(view.canvas().annotations().empty());
        QCOMPARE(view.canvas().selectionRect(), QRectF(100, 100, 400, 300)); // undo is not a move
    }
};

QTEST_MAIN(CanvasRenderingTest)
#include "tst_canvasrendering.moc"
