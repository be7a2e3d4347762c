#include "ArrowAnnotation.h"
#include "FreehandAnnotation.h"
#include "ModelGeometry.h"
#include "Palette.h"
#include "RectangleAnnotation.h"
#include "TextAnnotation.h"
#include "Tool.h"
#include "ToolSettings.h"

#include <QGuiApplication>
#include <QPainter>
#include <QTest>

using namespace kestrova;

namespace {

// Paints annotations into a white image through the y-up transform the editor uses.
QImage paint(const std::vector<const Annotation*>& annotations, QSize size = {100, 100}) {
    QImage image(size, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setWorldTransform(geometry::flip(size.height()));
    for (const Annotation* a : annotations)
        a->draw(painter);
    return image;
}

// The pixel at model point (x, y) of an image painted by paint().
QRgb at(const QImage& image, int x, int y) {
    return image.pixel(x, image.height() - 1 - y);
}

} // namespace

class AnnotationsTest final : public QObject {
    Q_OBJECT
private slots:
    void vocabularyHasItsFixedValues() {
        const auto& colors = Palette::colors();
        QCOMPARE(colors.size(), std::size_t(8));
        QCOMPARE(&Palette::defaultColor(), &colors[0]);
        QCOMPARE(colors[2], QColor::fromRgbF(0.98f, 0.82f, 0.12f));
        QCOMPARE(colors[6], QColor(Qt::black));
        QCOMPARE(Palette::indexOf(QColor::fromRgbF(0.13f, 0.45f, 0.95f)), std::optional<int>(4));
        QCOMPARE(Palette::indexOf(QColor(1, 2, 3)), std::nullopt);

        const ToolSettings defaults;
        QCOMPARE(defaults.color, colors[0]);
        QCOMPARE(defaults.thickness, 4.0);
        QCOMPARE(defaults.textSize, 24.0);
        QCOMPARE(std::vector<Tool>(allTools.begin(), allTools.end()),
                 (std::vector<Tool>{Tool::rectangle, Tool::ellipse, Tool::arrow, Tool::line,
                                    Tool::pencil, Tool::marker, Tool::text}));
        QCOMPARE(thicknessSteps[1], 4.0);
        QCOMPARE(textSizePresets[5], 24.0);
    }

    void twoPointRectIsNormalised() {
        const RectangleAnnotation r({10, 50}, {4, 20}, Qt::red, 2);
        QCOMPARE(r.rect(), QRectF(4, 20, 6, 30));
        const RectangleAnnotation click({7, 7}, {7, 7}, Qt::red, 2);
        QVERIFY(click.rect().isEmpty());
    }

    void arrowHeadGeometry() {
        const ArrowAnnotation arrow({0, 0}, {100, 0}, Qt::red, 4);
        const auto g = arrow.geometry();
        QCOMPARE(g.headLength, 16.0);
        QCOMPARE(g.shaftEnd, QPointF(90.4, 0));
        QVERIFY(qAbs(g.leftCorner.x() - 86.1436) < 1e-3);
        QVERIFY(qAbs(g.rightCorner.x() - 86.1436) < 1e-3);
        QVERIFY(qAbs(std::abs(g.leftCorner.y()) - 8) < 1e-9);
        QCOMPARE(g.leftCorner.y(), -g.rightCorner.y());

        // Thin arrows keep a 12-point head; a zero-length one points along +x.
        QCOMPARE(ArrowAnnotation({0, 0}, {50, 50}, Qt::red, 1).geometry().headLength, 12.0);
        const auto still = ArrowAnnotation({5, 5}, {5, 5}, Qt::red, 2).geometry();
        QVERIFY(still.shaftEnd.x() < 5);
        QCOMPARE(still.shaftEnd.y(), 5.0);
        // Shorter than 0.6 × head: the shaft ends behind the start.
        QVERIFY(ArrowAnnotation({0, 0}, {5, 0}, Qt::red, 4).geometry().shaftEnd.x() < 0);
    }

    void arrowHeadIsFilledAtTheTip() {
        const ArrowAnnotation arrow({10, 50}, {90, 50}, QColor(0, 0, 255), 2);
        const QImage image = paint({&arrow});
        QVERIFY(test_near(at(image, 86, 50), qRgb(0, 0, 255)));
        QVERIFY(test_near(at(image, 82, 53), qRgb(0, 0, 255))); // inside the head, off the shaft
        QVERIFY(test_near(at(image, 95, 50), qRgb(255, 255, 255)));
    }

    void onePointStrokeIsARoundDot() {
        FreehandAnnotation dot({50, 50}, QColor(255, 0, 0), 10);
        QImage image = paint({&dot});
        QVERIFY(test_near(at(image, 50, 50), qRgb(255, 0, 0)));
        QVERIFY(test_near(at(image, 52, 52), qRgb(255, 0, 0)));
        QVERIFY(test_near(at(image, 50, 57), qRgb(255, 255, 255)));
        QVERIFY(test_near(at(image, 55, 55), qRgb(255, 255, 255))); // round, not square

        dot.add({50, 50}); // the same point twice is stored twice and paints the same dot
        QCOMPARE(dot.points().size(), std::size_t(2));
        QCOMPARE(paint({&dot}), image);
    }

    void markerCrossingItselfIsNotDarker() {
        QColor translucent(0, 0, 255);
        translucent.setAlphaF(0.4f);
        FreehandAnnotation cross({10, 50}, translucent, 8);
        cross.add({90, 50});
        cross.add({50, 90});
        cross.add({50, 10});
        const QImage once = paint({&cross});
        QCOMPARE(at(once, 50, 50), at(once, 30, 50)); // the crossing looks like the rest

        FreehandAnnotation horizontal({10, 50}, translucent, 8);
        horizontal.add({90, 50});
        FreehandAnnotation vertical({50, 90}, translucent, 8);
        vertical.add({50, 10});
        const QImage twice = paint({&horizontal, &vertical});
        QVERIFY(qBlue(at(twice, 50, 50)) == 255);
        QVERIFY(qRed(at(twice, 50, 50)) < qRed(at(twice, 30, 50)) - 20); // two strokes: darker
    }

    void textIsDrawnUprightAboveItsOrigin() {
        const TextAnnotation text(QStringLiteral("L"), {20, 20}, 40, QColor(0, 0, 0));
        const QImage image = paint({&text}, {100, 100});
        int top = 100, bottom = -1, topInk = 0, bottomInk = 0;
        for (int y = 0; y < 100; ++y) {
            for (int x = 0; x < 100; ++x) {
                if (qRed(at(image, x, y)) < 128) {
                    top = std::min(top, y);
                    bottom = std::max(bottom, y);
                }
            }
        }
        QVERIFY2(bottom >= 0, "the text left no ink");
        QVERIFY(top >= 20 && bottom < 20 + 48); // inside the line box above the origin
        for (int x = 0; x < 100; ++x) {
            topInk += qRed(at(image, x, bottom)) < 128;
            bottomInk += qRed(at(image, x, top)) < 128;
        }
        // An upright L has its bar at the bottom (smallest y-up rows), not at the top.
        QVERIFY2(bottomInk > topInk * 2, "the text is mirrored");
        // Regular weight, and no background: the line box beside the glyph stays clear.
        QCOMPARE(TextAnnotation::font(40).weight(), QFont::Normal);
        const QRectF box = text.bounds();
        QCOMPARE(at(image, int(box.right()) - 3, int(box.bottom()) - 4), qRgb(255, 255, 255));
    }

private:
    static bool test_near(QRgb a, QRgb b) {
        return std::abs(qRed(a) - qRed(b)) <= 40 && std::abs(qGreen(a) - qGreen(b)) <= 40 &&
               std::abs(qBlue(a) - qBlue(b)) <= 40;
    }
};

QTEST_MAIN(AnnotationsTest)
#include "tst_annotations.moc"
