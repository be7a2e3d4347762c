#include "TestSupport.h"
#include "VeilPainter.h"

#include <QImage>
#include <QPainter>
#include <QTest>

using namespace kestrova;

namespace {

// How the overlay painted before: Qt copies the still, then blends the veil over it.
void paintWithQt(QPainter& painter, const QRect& area, const QImage& still, const QRectF& source) {
    painter.drawImage(QRectF(area), still, source);
    painter.fillRect(area, VeilPainter::color());
}

} // namespace

class VeilPainterTest final : public QObject {
    Q_OBJECT
private slots:
    // Every width from 1 to 9 (the wide steps and what is left after them), at odd
    // places in both images, on both kinds of 32-bit target and at a device scale.
    void givesExactlyTheSamePixelsAsQt_data() {
        QTest::addColumn<QImage::Format>("format");
        QTest::addColumn<qreal>("scale");
        QTest::newRow("opaque") << QImage::Format_RGB32 << qreal(1);
        QTest::newRow("premultiplied") << QImage::Format_ARGB32_Premultiplied << qreal(1);
        QTest::newRow("scale 2") << QImage::Format_RGB32 << qreal(2);
    }
    void givesExactlyTheSamePixelsAsQt() {
        QFETCH(QImage::Format, format);
        QFETCH(qreal, scale);
        const QImage still = test::noise(QSize(301, 203), 7);
        QImage ours(QSize(320, 220), format);
        ours.fill(Qt::darkGreen);
        ours.setDevicePixelRatio(scale);
        QImage theirs = ours.copy();
        {
            QPainter direct(&ours);
            QPainter qt(&theirs);
            for (int width = 1; width <= 9; ++width) {
                const QRect area(width * 3 / int(scale), 5 + width * 9, width, 7);
                const QRectF source(QPointF(area.topLeft() * scale) + QPointF(3, 2),
                                    QSizeF(area.size() * scale));
                QVERIFY(VeilPainter::paint(direct, area, still, source));
                paintWithQt(qt, area, still, source);
            }
            const QRect big(11, 3, 89, 60);
            const QRectF source(QPointF(big.topLeft() * scale), QSizeF(big.size() * scale));
            QVERIFY(VeilPainter::paint(direct, big, still, source));
            paintWithQt(qt, big, still, source);
            // Over the image's edge (a window painted in bands): the part inside only.
            const QRect over(int(320 / scale) - 10, int(220 / scale) - 8, 30, 30);
            const QRectF from(QPointF(200, 100), QSizeF(over.size() * scale));
            QVERIFY(VeilPainter::paint(direct, over, still, from));
            paintWithQt(qt, over, still, from);
        }
        QCOMPARE(ours, theirs);
    }

    // Whatever is not one still pixel to one written pixel is left to the painter.
    void declinesWhatItCannotPaintOneForOne() {
        const QImage still = test::noise(QSize(64, 64), 7);
        QImage target(QSize(64, 64), QImage::Format_RGB32);
        target.fill(Qt::white);
        const QImage before = target.copy();
        QPainter painter(&target);
        QVERIFY(!VeilPainter::paint(painter, QRect(0, 0, 10, 10), still, QRectF(0, 0, 20, 20)));
        QVERIFY(!VeilPainter::paint(painter, QRect(0, 0, 10, 10), still, QRectF(0.5, 0, 10, 10)));
        QVERIFY(!VeilPainter::paint(painter, QRect(0, 0, 10, 10),
                                    still.convertToFormat(QImage::Format_ARGB32),
                                    QRectF(0, 0, 10, 10)));
        painter.rotate(10);
        QVERIFY(!VeilPainter::paint(painter, QRect(0, 0, 10, 10), still, QRectF(0, 0, 10, 10)));
        painter.end();
        QCOMPARE(target, before);
    }
};

QTEST_MAIN(VeilPainterTest)
#include "tst_veilpainter.moc"
