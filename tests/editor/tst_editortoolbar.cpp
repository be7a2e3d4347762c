#include "EditorToolbar.h"

#include "EditorView.h"
#include "Palette.h"
#include "SwatchButton.h"
#include "ToolbarLayout.h"
#include "ToolOptionsController.h"

#include <QAbstractButton>
#include <QButtonGroup>
#include <QComboBox>
#include <QFrame>
#include <QPushButton>
#include <QTest>
#include <QToolButton>

using namespace kestrova;

namespace {

struct Editor {
    EditorView view;
    EditorToolbar* toolbar;
    Editor()
        : view(QImage(1440, 900, QImage::Format_RGB32),
               ScreenInfo{QStringLiteral("t"), QRect(0, 0, 1440, 900), 1},
               QRectF(400, 300, 400, 300), Palette::colors()[0], 4) {
        toolbar = new EditorToolbar(&view);
        toolbar->reposition(view.selectionRect(), QRectF(view.rect()));
        view.show();
    }
    void click(QAbstractButton* button) { QTest::mouseClick(button, Qt::LeftButton); }
};

} // namespace

class EditorToolbarTest final : public QObject {
    Q_OBJECT
private slots:
    void layoutHasElevenButtonsAndASeparator() {
        QCOMPARE(ToolbarLayout::size(), QSizeF(388, 44));
        const std::array<double, 11> xs{7, 40, 73, 106, 139, 172, 205, 238, 285, 318, 351};
        QCOMPARE(ToolbarLayout::buttonX(), xs);
        QCOMPARE(ToolbarLayout::separatorX(), 276.0);

        Editor e;
        QCOMPARE(e.toolbar->size(), QSize(388, 44));
        QCOMPARE(e.toolbar->toolButton(Tool::arrow)->geometry(), QRect(73, 7, 30, 30));
        QCOMPARE(e.toolbar->closeButton()->geometry(), QRect(351, 7, 30, 30));
        const auto frames = e.toolbar->findChildren<QFrame*>(Qt::FindDirectChildrenOnly);
        QVERIFY(std::any_of(frames.begin(), frames.end(),
                            [](QFrame* f) { return f->geometry() == QRect(276, 11, 1, 22); }));
        QCOMPARE(e.toolbar->findChildren<QToolButton*>().size(), 11);
        for (auto* b : e.toolbar->findChildren<QToolButton*>()) {
            QVERIFY(b->text().isEmpty());
            QVERIFY(!b->icon().isNull());
        }
    }

    void iconsAreDrawnForTheScreenTheyAreShownOn() {
        // Asked when painted, at the ratio of the screen the button is on: a toolbar
        // made before its editor reached a scale-2 screen still gets sharp icons.
        Editor e;
        const QIcon icon = e.toolbar->closeButton()->icon();
        for (const qreal ratio : {1.0, 2.0}) {
            const QPixmap drawn = icon.pixmap(QSize(18, 18), ratio);
            QCOMPARE(drawn.size(), QSize(18, 18) * ratio);
            QCOMPARE(drawn.devicePixelRatio(), ratio);
            const QImage pixels = drawn.toImage();
            int stroke = 0;
            for (int y = 0; y < pixels.height(); ++y)
                for (int x = 0; x < pixels.width(); ++x)
                    if (const QColor c = pixels.pixelColor(x, y); c.alpha() > 0) {
                        QCOMPARE(c.rgb(), QColor(Qt::white).rgb()); // tinted white
                        ++stroke;
                    }
            QVERIFY(stroke > 4 * ratio * ratio);
        }
    }

    void placementBelowAboveAndClamped() {
        const QSizeF size(388, 44);
        const QRectF canvas(0, 0, 1440, 900);
        QCOMPARE(ToolbarLayout::reposition(QRectF(500, 100, 200, 100), canvas, size).y(), 46.0);
        QCOMPARE(ToolbarLayout::reposition(QRectF(500, 50, 200, 100), canvas, size).y(), 160.0);
        QCOMPARE(ToolbarLayout::reposition(QRectF(500, 50, 200, 840), canvas, size).y(), 848.0);
        QCOMPARE(ToolbarLayout::reposition(QRectF(0, 300, 40, 100), canvas, size).x(), 8.0);
        QCOMPARE(ToolbarLayout::reposition(QRectF(1420, 300, 20, 100), canvas, size).x(), 1044.0);
        // A canvas narrower than the toolbar: the upper bound wins, even below zero.
        QCOMPARE(
            ToolbarLayout::reposition(QRectF(10, 300, 20, 100), QRectF(0, 0, 300, 900), size).x(),
            300.0 - 388 - 8);

        Editor
            e; // selection bottom at 300 (y up): toolbar at y 246, i.e. 900 − 246 − 44 from the top
        QCOMPARE(e.toolbar->pos(), QPoint(406, 610));
    }

    void rectangleIsHighlightedAtFirst() {
        Editor e;
        for (const Tool tool : allTools)
            QCOMPARE(e.toolbar->isHighlighted(tool), tool == Tool::rectangle);
        QVERIFY(!e.toolbar->popover());
    }

    void toolButtonTogglesItsPopover() {
        Editor e;
        e.click(e.toolbar->toolButton(Tool::ellipse));
        QCOMPARE(e.view.activeTool(), Tool::ellipse);
        QVERIFY(e.toolbar->isHighlighted(Tool::ellipse) &&
                !e.toolbar->isHighlighted(Tool::rectangle));
        QVERIFY(e.toolbar->popover() && e.toolbar->popover()->isVisible());
        QCOMPARE(e.toolbar->popoverTool(), std::optional<Tool>(Tool::ellipse));

        e.click(e.toolbar->toolButton(Tool::ellipse));
        QVERIFY(!e.toolbar->popover() || !e.toolbar->popover()->isVisible());
        QCOMPARE(e.view.activeTool(), Tool::ellipse);

        e.click(e.toolbar->toolButton(Tool::ellipse));
        QVERIFY(e.toolbar->popover() && e.toolbar->popover()->isVisible());

        e.click(e.toolbar->toolButton(Tool::arrow)); // another tool: its own popover
        QCOMPARE(e.toolbar->popoverTool(), std::optional<Tool>(Tool::arrow));
    }

    void undoClosesThePopoverAndRemovesTheNewest() {
        Editor e;
        e.view.canvas().press({500, 400});
        e.view.canvas().drag({600, 500});
        e.view.canvas().release();
        e.click(e.toolbar->toolButton(Tool::rectangle));
        QVERIFY(e.toolbar->popover()->isVisible());
        e.click(e.toolbar->undoButton());
        QVERIFY(!e.toolbar->popover());
        QVERIFY(e.view.canvas().annotations().empty());
    }

    void textToolGetsSizesInsteadOfThickness() {
        Editor e;
        e.click(e.toolbar->toolButton(Tool::text));
        ToolOptionsController* options = e.toolbar->popover();
        QCOMPARE(options->size(), QSize(242, 80));
        QVERIFY(options->textSizeMenu());
        QVERIFY(!options->thicknessGroup());
        QCOMPARE(options->textSizeMenu()->count(), 10);
        QCOMPARE(options->textSizeMenu()->itemText(0), QStringLiteral("8 pt"));
        QCOMPARE(options->textSizeMenu()->currentText(), QStringLiteral("24 pt"));
        QCOMPARE(options->swatchButtons().size(), std::size_t(8));
        emit options->textSizeMenu()->activated(8);
        QCOMPARE(e.view.settings(Tool::text).textSize, 72.0);

        e.click(e.toolbar->toolButton(Tool::line));
        options = e.toolbar->popover();
        QVERIFY(!options->textSizeMenu());
        QCOMPARE(options->thicknessGroup()->checkedButton()->text(), QStringLiteral("Med"));
    }

    void selectionsMatchExactlyOrNotAtAll() {
        ToolSettings thin{Palette::colors()[0], 2, 24};
        QCOMPARE(ToolOptionsController(Tool::line, thin, false).thicknessGroup()->checkedId(), 0);
        ToolSettings odd{QColor(1, 2, 3), 5, 25};
        ToolOptionsController none(Tool::line, odd, false);
        QCOMPARE(none.thicknessGroup()->checkedId(), -1);
        QCOMPARE(none.selectedSwatch(), std::nullopt);
        QCOMPARE(ToolOptionsController(Tool::text, odd, true).textSizeMenu()->currentIndex(), -1);
        ToolSettings thick{Palette::colors()[7], 6, 96};
        ToolOptionsController white(Tool::arrow, thick, false);
        QCOMPARE(white.thicknessGroup()->checkedId(), 2);
        QCOMPARE(white.selectedSwatch(), std::optional<int>(7));

        Editor e;
        e.click(e.toolbar->toolButton(Tool::pencil));
        ToolOptionsController* options = e.toolbar->popover();
        // The swatches themselves show the choice: on opening, and after a change.
        const auto shownSelected = [&] {
            std::vector<int> on;
            for (std::size_t i = 0; i < options->swatchButtons().size(); ++i) {
                if (options->swatchButtons()[i]->isSelected())
                    on.push_back(int(i));
            }
            return on;
        };
        QCOMPARE(shownSelected(), std::vector<int>{0}); // the editor's default colour
        QTest::mouseClick(options->swatchButtons()[2], Qt::LeftButton);
        QCOMPARE(e.view.settings(Tool::pencil).color, Palette::colors()[2]);
        QCOMPARE(options->selectedSwatch(), std::optional<int>(2));
        QCOMPARE(shownSelected(), std::vector<int>{2});
        QVERIFY(options->isVisible()); // stays open for more changes
        QTest::mouseClick(options->thicknessGroup()->button(2), Qt::LeftButton);
        QCOMPARE(e.view.settings(Tool::pencil).thickness, 6.0);
        QCOMPARE(e.view.settings(Tool::rectangle).thickness, 4.0); // per tool
    }
};

QTEST_MAIN(EditorToolbarTest)
#include "tst_editortoolbar.moc"
