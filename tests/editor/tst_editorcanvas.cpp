#include "EditorCanvas.h"

#include "FreehandAnnotation.h"
#include "Palette.h"
#include "TextAnnotation.h"
#include "TwoPointAnnotation.h"

#include <QTest>

using namespace kestrova;
using Press = EditorCanvas::Press;
using Handle = EditorCanvas::Handle;

namespace {

EditorCanvas canvasWith(QRectF selection, QSizeF bounds = {1000, 800}) {
    return EditorCanvas(bounds, selection, Palette::colors()[3], 4);
}

Press pressOnce(EditorCanvas& c, QPointF p) {
    const Press result = c.press(p);
    c.release();
    return result;
}

} // namespace

class EditorCanvasTest final : public QObject {
    Q_OBJECT
private slots:
    void everyToolStartsWithTheStoredDefaults() {
        const EditorCanvas c = canvasWith({100, 100, 200, 100});
        for (const Tool tool : allTools) {
            QCOMPARE(c.settings(tool).color, Palette::colors()[3]);
            QCOMPARE(c.settings(tool).thickness, 4.0);
            QCOMPARE(c.settings(tool).textSize, 24.0);
        }
        QCOMPARE(c.activeTool(), Tool::rectangle);
    }

    void handleReachIsEightPointsEachWay() {
        EditorCanvas c = canvasWith({100, 100, 200, 100});
        QCOMPARE(c.handleAt({108, 192}), std::optional<Handle>(Handle::topLeft));
        QCOMPARE(c.handleAt({292, 108}), std::optional<Handle>(Handle::bottomRight));
        QCOMPARE(c.handleAt({200, 208}), std::optional<Handle>(Handle::top));
        QCOMPARE(c.handleAt({109, 200}), std::nullopt);
        QCOMPARE(c.handleAt({100, 209}), std::nullopt);
        QCOMPARE(pressOnce(c, {108, 192}), Press::resizing);
    }

    void borderBandFollowsContainmentRules() {
        EditorCanvas c = canvasWith({100, 100, 200, 100});
        QCOMPARE(pressOnce(c, {150, 95}), Press::moving);   // 5 outside
        QCOMPARE(pressOnce(c, {150, 105}), Press::moving);  // 5 inside
        QCOMPARE(pressOnce(c, {150, 107}), Press::drawing); // 7 inside
        QCOMPARE(pressOnce(c, {150, 93}), Press::none);     // 7 outside
        QCOMPARE(pressOnce(c, {250, 193}), Press::drawing);
        QCOMPARE(pressOnce(c, {250, 195}), Press::moving);
        // Maximum edges are outside: the band's right edge at 306 is not part of it.
        QCOMPARE(pressOnce(c, {306, 120}), Press::none);
        QCOMPARE(pressOnce(c, {305.9, 120}), Press::moving);
        QCOMPARE(pressOnce(c, {94, 120}), Press::moving);
        QVERIFY(c.annotations().empty()); // the drawing presses were clicks: dropped on release
    }

    void smallSelectionsHaveNoDrawingArea() {
        EditorCanvas narrow = canvasWith({100, 100, 12, 100});
        QCOMPARE(pressOnce(narrow, {106, 125}), Press::moving);
        QCOMPARE(pressOnce(narrow, {111, 170}), Press::moving);
        EditorCanvas tiny = canvasWith({100, 100, 16, 16});
        for (double x = 100; x < 116; x += 3)
            for (double y = 100; y < 116; y += 3)
                QCOMPARE(pressOnce(tiny, {x, y}), Press::resizing);
    }

    void resizeNormalisesAndKeepsTheMinimum() {
        EditorCanvas c = canvasWith({100, 100, 200, 100});
        QCOMPARE(c.press({300, 150}), Press::resizing); // right handle
        QVERIFY(c.drag({100, 150}));
        QCOMPARE(c.selectionRect(), QRectF(100, 100, 10, 100));
        c.release();

        c.setSelectionRect({100, 100, 200, 100});
        c.press({300, 150});
        c.drag({50, 150}); // one step 50 beyond the left edge
        QCOMPARE(c.selectionRect(), QRectF(50, 100, 50, 100));
        c.release();

        c.setSelectionRect({100, 100, 200, 100});
        c.press({300, 100}); // bottom right
        c.drag({1200, -300});
        QCOMPARE(c.selectionRect(), QRectF(100, 0, 900, 200));
        c.release();

        // Squeezed against an edge, the selection keeps its minimum on the screen.
        c.setSelectionRect({700, 100, 300, 200});
        c.press({700, 200}); // left handle, dragged past the right edge
        c.drag({1300, 200});
        QCOMPARE(c.selectionRect(), QRectF(990, 100, 10, 200));
        c.release();
        c.setSelectionRect({100, 0, 200, 100});
        c.press({200, 100}); // top handle, dragged below the bottom edge
        c.drag({200, -50});
        QCOMPARE(c.selectionRect(), QRectF(100, 0, 200, 10));
    }

    void moveStopsAtTheEdgeAndTurnsBackAtOnce() {
        EditorCanvas c = canvasWith({10, 10, 100, 100});
        QCOMPARE(c.press({12, 50}), Press::moving);
        c.drag({-50, 50});
        QCOMPARE(c.selectionRect(), QRectF(0, 10, 100, 100));
        c.drag({-40, 50});
        QCOMPARE(c.selectionRect(), QRectF(10, 10, 100, 100));
        c.drag({2000, 5000});
        QCOMPARE(c.selectionRect(), QRectF(900, 700, 100, 100));
    }

    void clickSizedShapesAreDroppedOnRelease() {
        EditorCanvas c = canvasWith({100, 100, 400, 400});
        for (const Tool tool : {Tool::rectangle, Tool::ellipse, Tool::arrow, Tool::line}) {
            c.setActiveTool(tool);
            c.press({200, 200});
            c.drag({202, 202}); // about 2.83
            c.release();
            QVERIFY(c.annotations().empty());
            c.press({200, 200});
            c.drag({203, 200});
            c.release();
            QCOMPARE(c.annotations().size(), std::size_t(1));
            c.undo();
        }
        c.setActiveTool(Tool::pencil);
        c.press({200, 200});
        c.release();
        QCOMPARE(c.annotations().size(), std::size_t(1)); // a stroke is kept however short
    }

    void undoDuringADragIsNotUndoneAgainOnRelease() {
        EditorCanvas c = canvasWith({100, 100, 400, 400});
        c.press({200, 200});
        c.drag({300, 300});
        c.release();
        c.press({220, 220});
        c.drag({221, 221});
        QVERIFY(c.undo()); // removes the shape being drawn
        c.release();       // too short, but no longer the newest: nothing removed
        QCOMPARE(c.annotations().size(), std::size_t(1));
        QVERIFY(c.undo());
        QVERIFY(!c.undo());
    }

    void markerIsTranslucentAndFourTimesAsThick() {
        EditorCanvas c = canvasWith({100, 100, 400, 400});
        c.setThickness(6, Tool::marker);
        c.setActiveTool(Tool::marker);
        c.press({200, 200});
        c.release();
        auto* stroke = dynamic_cast<const FreehandAnnotation*>(c.annotations().back().get());
        QVERIFY(stroke);
        QCOMPARE(stroke->thickness(), 24.0);
        QCOMPARE(stroke->color().alphaF(), 0.4f);
        QCOMPARE(stroke->color().rgb(), Palette::colors()[3].rgb());
        c.setActiveTool(Tool::pencil);
        c.setThickness(6, Tool::pencil);
        c.press({210, 200});
        c.release();
        auto* pencil = dynamic_cast<const FreehandAnnotation*>(c.annotations().back().get());
        QCOMPARE(pencil->thickness(), 6.0);
        QCOMPARE(pencil->color().alphaF(), 1.0f);
    }

    void textCommitTrimsOnlyToDecide() {
        EditorCanvas c = canvasWith({100, 100, 400, 400});
        c.setActiveTool(Tool::text);
        c.setTextSize(36, Tool::text);
        QCOMPARE(c.press({200, 200}), Press::openedText);
        QCOMPARE(c.openText()->size, 36.0);
        c.setColor(Palette::colors()[5], Tool::text); // changing settings later does not matter
        c.setTextSize(8, Tool::text);
        c.setPendingText(QStringLiteral("   \n "));
        QVERIFY(!c.commitText());
        QVERIFY(c.annotations().empty());
        QVERIFY(!c.openText());

        c.setTextSize(36, Tool::text);
        c.setColor(Palette::colors()[3], Tool::text);
        c.press({200, 200});
        c.setColor(Palette::colors()[5], Tool::text);
        c.setPendingText(QStringLiteral("  hi  "));
        QCOMPARE(c.press({300, 300}), Press::committedText); // the press only commits
        QVERIFY(!c.openText());
        auto* text = dynamic_cast<const TextAnnotation*>(c.annotations().back().get());
        QVERIFY(text);
        QCOMPARE(text->text(), QStringLiteral("  hi  "));
        QCOMPARE(text->origin(), QPointF(202, 203));
        QCOMPARE(text->fontSize(), 36.0);
        QCOMPARE(text->color(), Palette::colors()[3]);
        QCOMPARE(c.press({300, 300}), Press::openedText); // a second press opens a new field
        c.discardText();
        QCOMPARE(c.annotations().size(), std::size_t(1));
    }
};

QTEST_GUILESS_MAIN(EditorCanvasTest)
#include "tst_editorcanvas.moc"
