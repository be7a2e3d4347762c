// Measures saving a whole-screen selection of realistic desktop screenshots:
//   - flatten, encode and write, with Qt's PNG writer and with kestrova's side by side,
//     and kestrova's JPEG (quality 90);
//   - with a display (an Xvfb sized like the screen, QT_SCALE_FACTOR set to the scale):
//     the editor itself, from the Save click until its window is gone and until the
//     file is complete.
// Prints one line of JSON per screen: min/median/max in milliseconds over 9 runs.
//
// Usage: kestrova_bench_save SCREEN.png SCALE [SCREEN.png SCALE …] [--editor]
// The reference screens are screen-3840x2160.png at 1 and screen-5120x2880.png at 2.

#include "CanvasRenderer.h"
#include "EditorView.h"
#include "EditorWindowController.h"
#include "ScreenshotEncoder.h"
#include "ScreenshotWriter.h"
#include "Settings.h"

#include "BenchStats.h"

#include <QApplication>
#include <QBuffer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFutureWatcher>
#include <QImageWriter>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

#include <unistd.h>

using namespace kestrova;

namespace {

constexpr int runs = 9;

Stats timed(const std::function<void()>& step) {
    std::vector<double> ms;
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer timer;
        timer.start();
        step();
        ms.push_back(timer.nsecsElapsed() / 1e6);
    }
    return stats(ms);
}

// A few annotations of each kind, so that flattening has something to draw.
std::vector<std::shared_ptr<const Annotation>> annotationsFor(const ScreenInfo& screen,
                                                              const QRectF& all) {
    EditorView view(QImage(16, 16, QImage::Format_RGB32), screen, all, QColor(Qt::red), 4);
    for (int i = 0; i < 20; ++i) {
        view.canvas().setActiveTool(static_cast<Tool>(i % 6));
        const QPointF a(all.width() * (i + 1) / 24, all.height() * ((i * 7) % 20 + 1) / 24);
        view.pressAt(a);
        view.dragTo(a + QPointF(120, 60));
        view.dragTo(a + QPointF(200, 90));
        view.releaseAt();
    }
    return view.canvas().annotations();
}

QString benchFiles(const QImage& capture, double scale, const QString& folder) {
    const QSize points(int(capture.width() / scale), int(capture.height() / scale));
    const ScreenInfo screen{QStringLiteral("bench"), QRect(QPoint(0, 0), points), scale};
    const QRectF all(0, 0, points.width(), points.height());
    const auto annotations = annotationsFor(screen, all);
    const auto flatten = [&] {
        return *CanvasRenderer::flatten(capture, screen, all, annotations);
    };
    const QImage flat = flatten();

    QByteArray qtPng, ownPng, ownJpg;
    const Stats flattening = timed([&] { flatten(); });
    const Stats qtEncode = timed([&] {
        qtPng.clear();
        QBuffer buffer(&qtPng);
        buffer.open(QIODevice::WriteOnly);
        QImageWriter(&buffer, "png").write(flat);
    });
    const Stats ownEncode =
        timed([&] { ownPng = ScreenshotEncoder::encode(flat, ImageFormat::png).value(); });
    const Stats jpgEncode =
        timed([&] { ownJpg = ScreenshotEncoder::encode(flat, ImageFormat::jpg).value(); });
    const Stats qtWhole = timed([&] {
        QByteArray bytes;
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::WriteOnly);
        QImageWriter(&buffer, "png").write(flatten());
        QFile file(folder + QStringLiteral("/qt.png"));
        file.open(QIODevice::WriteOnly);
        file.write(bytes);
        file.flush();
        ::fsync(file.handle());
    });
    const ScreenshotWriter::Target png{ImageFormat::png, folder};
    const ScreenshotWriter::Target jpg{ImageFormat::jpg, folder};
    const Stats ownWhole = timed([&] { (void)ScreenshotWriter::save(flatten(), png); });
    const Stats ownWholeJpg = timed([&] { (void)ScreenshotWriter::save(flatten(), jpg); });

    return QStringLiteral("\"flatten\":{\"min\":%1,\"median\":%2,\"max\":%3},")
               .arg(flattening.min, 0, 'f', 1)
               .arg(flattening.median, 0, 'f', 1)
               .arg(flattening.max, 0, 'f', 1) +
           json("qt_png_encode", qtEncode) + u',' + json("kestrova_png_encode", ownEncode) + u',' +
           json("kestrova_jpg_encode", jpgEncode) + u',' +
           json("qt_flatten_encode_write", qtWhole) + u',' +
           json("kestrova_flatten_encode_write", ownWhole) + u',' +
           json("kestrova_jpg_flatten_encode_write", ownWholeJpg) +
           QStringLiteral(",\"qt_png_bytes\":%1,\"kestrova_png_bytes\":%2,\"ratio\":%3,"
                          "\"kestrova_jpg_bytes\":%4")
               .arg(qtPng.size())
               .arg(ownPng.size())
               .arg(double(ownPng.size()) / double(qtPng.size()), 0, 'f', 3)
               .arg(ownJpg.size());
}

// The real editor on the real display: Save clicked, until it is gone / the file is done.
QString benchEditor(const QImage& capture, const QString& folder) {
    QScreen* screen = QGuiApplication::primaryScreen();
    Settings::shared().setSaveFolder(folder);
    Settings::shared().setImageFormat(ImageFormat::png);
    const QRectF all(QPointF(0, 0), QSizeF(screen->geometry().size()));
    ScreenshotWriter writer;
    std::vector<double> gone, complete;
    for (int i = 0; i < runs; ++i) {
        EditorWindowController editor(writer);
        bool dismissed = false;
        QObject::connect(&editor, &EditorWindowController::onDismiss, [&] { dismissed = true; });
        editor.present(capture, screen, all);
        if (!QTest::qWaitForWindowExposed(editor.window()))
            std::fprintf(stderr, "the editor did not show\n");
        QTest::qWait(300);
        editor.editorView()->pressAt(QPointF(200, 200));
        editor.editorView()->dragTo(QPointF(600, 500));
        editor.editorView()->releaseAt();
        QElapsedTimer timer;
        timer.start();
        editor.toolbar()->saveButton()->click();
        QGuiApplication::sync(); // the unmap has reached the X server
        gone.push_back(timer.nsecsElapsed() / 1e6);
        while (!dismissed)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
        complete.push_back(timer.nsecsElapsed() / 1e6);
    }
    return json("save_to_editor_gone", stats(gone)) + u',' +
           json("save_to_file_complete", stats(complete));
}

} // namespace

int main(int argc, char** argv) {
    const bool editor = argc > 1 && QByteArray(argv[argc - 1]) == "--editor";
    if (!editor)
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int pairs = (argc - 1 - int(editor)) / 2;
    if (pairs < 1) {
        std::fprintf(stderr, "usage: %s SCREEN.png SCALE [SCREEN.png SCALE …] [--editor]\n",
                     argv[0]);
        return 2;
    }
    QTemporaryDir scratch;
    qputenv("XDG_CONFIG_HOME", scratch.filePath(QStringLiteral("config")).toUtf8());
    for (int p = 0; p < pairs; ++p) {
        const QString path = QString::fromLocal8Bit(argv[1 + 2 * p]);
        const double scale = QByteArray(argv[2 + 2 * p]).toDouble();
        const QImage capture = QImage(path).convertToFormat(QImage::Format_RGB32);
        if (capture.isNull() || scale <= 0) {
            std::fprintf(stderr, "cannot read %s at scale %s\n", argv[1 + 2 * p], argv[2 + 2 * p]);
            return 1;
        }
        const QString folder = scratch.filePath(QStringLiteral("out%1").arg(p));
        QDir().mkpath(folder);
        const QString body =
            editor ? benchEditor(capture, folder) : benchFiles(capture, scale, folder);
        std::printf("{\"screen\":\"%s\",\"scale\":%g,%s}\n", qPrintable(QFileInfo(path).fileName()),
                    scale, qPrintable(body));
        std::fflush(stdout);
    }
    return 0;
}
