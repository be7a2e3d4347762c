#include "SelectionModel.h"
#include "SizeLabel.h"

#include <QGuiApplication>
#include <QTest>

using namespace kestrova;

class SelectionModelTest final : public QObject {
    Q_OBJECT
private slots:
    void dragIsNormalised() {
        SelectionModel m;
        m.press({500, 400});
        m.drag({300, 100});
        QCOMPARE(m.selectionRect(), QRectF(300, 100, 200, 300));
        QCOMPARE(m.release({300, 100}), SelectionModel::Outcome::finished);
        QCOMPARE(m.result(), QRectF(300, 100, 200, 300));
        QVERIFY(!m.isDragging());
    }

    void smallDragsAndClicksCancel() {
        SelectionModel m;
        m.press({10, 10});
        QCOMPARE(m.release({11, 110}), SelectionModel::Outcome::cancelled); // 1 × 100
        m.press({10, 10});
        QCOMPARE(m.release({10, 10}), SelectionModel::Outcome::cancelled); // a click
        m.press({10, 10});
        QCOMPARE(m.release({12, 12}), SelectionModel::Outcome::finished); // 2 × 2 is enough
        QCOMPARE(m.result(), QRectF(10, 10, 2, 2));
        // A release without a press (the press went elsewhere) cancels too.
        QCOMPARE(SelectionModel().release({5, 5}), SelectionModel::Outcome::cancelled);
    }

    void dragPastTheScreenKeepsItsExtent() {
        SelectionModel m;
        m.press({100, 100});
        m.drag({-50, 2000});
        QCOMPARE(m.selectionRect(), QRectF(-50, 100, 150, 1900));
    }

    void labelCountsPixels() {
        QCOMPARE(SizeLabel::text(QRectF(0, 0, 150.3, 80.25), 2), QStringLiteral("301 × 161"));
        QCOMPARE(SizeLabel::text(QRectF(0, 0, 300, 150), 2), QStringLiteral("600 × 300"));
        QCOMPARE(SizeLabel::text(QRectF(0, 0, 33, 10), 1.5), QStringLiteral("50 × 15"));
    }

    void labelSitsAboveTheSelectionOrInsideAtTheTop() {
        const QSizeF text(60, 15);
        QCOMPARE(SizeLabel::origin(QRectF(100, 200, 300, 150), text, 900), QPointF(100, 355));
        // Top edge at the top of the screen: inside, below the top edge.
        QCOMPARE(SizeLabel::origin(QRectF(100, 500, 300, 400), text, 900), QPointF(100, 880));
        // Exactly at the limit it still fits above (not greater than max − 2).
        QCOMPARE(SizeLabel::origin(QRectF(0, 0, 10, 878), text, 900), QPointF(0, 883));
        QCOMPARE(SizeLabel::origin(QRectF(0, 0, 10, 878.5), text, 900).y(), 878.5 - 15 - 5);
        QCOMPARE(SizeLabel::background({100, 355}, text), QRectF(95, 352.5, 70, 20));
    }
};

QTEST_MAIN(SelectionModelTest)
#include "tst_selectionmodel.moc"
