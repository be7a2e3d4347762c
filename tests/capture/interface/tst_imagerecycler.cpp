#include "ImageRecycler.h"

#include <QTest>

using namespace kestrova;

class ImageRecyclerTest final : public QObject {
    Q_OBJECT
private slots:
    void memoryComesBackOnlyOnceItsImageIsGone() {
        ImageRecycler recycler;
        const QSize screen(3840, 2160);
        QImage first = recycler.make(screen, QImage::Format_RGB32);
        QVERIFY(!first.isNull());
        const uchar* memory = first.constBits();
        QImage shared = first;
        first = QImage();
        // Still held through a copy: a new image must not write over it.
        QImage second = recycler.make(screen, QImage::Format_RGB32);
        QVERIFY(second.constBits() != memory);
        QCOMPARE(recycler.keptBytes(), 0u);

        shared = QImage();
        QVERIFY(recycler.keptBytes() >= std::size_t(screen.width()) * screen.height() * 4);
        // What is kept serves a smaller screen, never a larger one.
        const QImage larger = recycler.make(QSize(5120, 2880), QImage::Format_RGB32);
        QVERIFY(larger.constBits() != memory);
        QImage smaller = recycler.make(QSize(1920, 1080), QImage::Format_RGB32);
        QCOMPARE(smaller.constBits(), memory);
        smaller.fill(Qt::red);

        smaller = QImage();
        recycler.clear();
        QCOMPARE(recycler.keptBytes(), 0u);
    }

    // The sanitizer run reports a leak or a use after free should this go wrong.
    void imagesMayOutliveTheirRecycler() {
        QImage outliving;
        {
            ImageRecycler recycler;
            outliving = recycler.make(QSize(2560, 1440), QImage::Format_RGB32);
        }
        outliving.fill(Qt::blue);
        QCOMPARE(outliving.pixel(2559, 1439), QColor(Qt::blue).rgb());
    }
};

QTEST_MAIN(ImageRecyclerTest)
#include "tst_imagerecycler.moc"
