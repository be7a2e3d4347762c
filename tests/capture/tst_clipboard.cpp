#include "ClipboardImage.h"
#include "ScreenshotWriter.h"

#include "TestSupport.h"

#include <QApplication>
#include <QClipboard>
#include <QMimeData>
#include <QProcess>
#include <QtConcurrent/QtConcurrentRun>
#include <QTest>
#include <QThread>

using namespace kestrova;

class ClipboardTest final : public QObject {
    Q_OBJECT
private:
    // Reads the clipboard with xclip while our event loop serves it.
    static QByteArray xclip(const QStringList& arguments) {
        QProcess process;
        process.start(QStringLiteral("xclip"), arguments);
        process.waitForStarted(5000);
        test::waitUntil([&] { return process.state() == QProcess::NotRunning; }, 15000);
        return process.readAllStandardOutput();
    }

private slots:
    void copyOffersPngOfExactlyTheImagesSize() {
        QApplication::clipboard()->setText(QStringLiteral("something from before"));
        QImage image(333, 127, QImage::Format_RGB32);
        image.fill(qRgb(10, 200, 30));
        image.setPixel(332, 126, qRgb(255, 0, 255));
        ScreenshotWriter writer;
        // Until the pixels are made the clipboard keeps what it had: nothing waits.
        QFuture<Status> copied = writer.copyToClipboard([image] {
            QThread::msleep(300);
            return std::optional<QImage>(image);
        });
        QCOMPARE(QApplication::clipboard()->text(), QStringLiteral("something from before"));
        QVERIFY(test::waitUntil([&] { return copied.isFinished(); }));
        QVERIFY(!copied.result());

        const QByteArray targets =
            xclip({QStringLiteral("-selection"), QStringLiteral("clipboard"), QStringLiteral("-t"),
                   QStringLiteral("TARGETS"), QStringLiteral("-o")});
        QVERIFY2(targets.contains("image/png"), targets.constData());
        QVERIFY2(!targets.contains("text/plain"), targets.constData()); // the old text is gone

        const QByteArray png =
            xclip({QStringLiteral("-selection"), QStringLiteral("clipboard"), QStringLiteral("-t"),
                   QStringLiteral("image/png"), QStringLiteral("-o")});
        QVERIFY(png.startsWith("\x89PNG"));
        const QImage pasted = test::decode(png).convertToFormat(QImage::Format_RGB32);
        QCOMPARE(pasted.size(), image.size());
        QCOMPARE(pasted.pixel(332, 126), qRgb(255, 0, 255));
        QCOMPARE(pasted.pixel(0, 0), qRgb(10, 200, 30));

        // A screenshot that cannot be made says so and leaves the clipboard as it was.
        QApplication::clipboard()->setText(QStringLiteral("kept"));
        QFuture<Status> failed = writer.copyToClipboard([] { return std::optional<QImage>(); });
        QVERIFY(test::waitUntil([&] { return failed.isFinished(); }));
        QVERIFY(failed.result().has_value());
        QCOMPARE(QApplication::clipboard()->text(), QStringLiteral("kept"));
    }

    // Where the clipboard must be claimed at the click (Wayland), a paste that comes
    // before the PNG is made waits for it, and gets exactly its bytes.
    void aPromisedPngIsServedOnceMade() {
        const QByteArray bytes = "\x89PNG promised";
        ClipboardImage::promise(QtConcurrent::run([bytes]() -> Expected<ClipboardImage::Content> {
            QThread::msleep(300);
            return ClipboardImage::Content{QImage(), bytes};
        }));
        QCOMPARE(xclip({QStringLiteral("-selection"), QStringLiteral("clipboard"),
                        QStringLiteral("-t"), QStringLiteral("image/png"), QStringLiteral("-o")}),
                 bytes);
    }
};

QTEST_MAIN(ClipboardTest)
#include "tst_clipboard.moc"
