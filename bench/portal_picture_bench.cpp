// How long reading a screenshot portal's picture takes: kestrova's reader (which
// decodes the kind of PNG desktops write itself), alone and with its memory made ready
// as while a desktop takes its picture (150 ms ahead), against Qt's decoder, which read
// it before. The screen is written as a PNG the way desktops write theirs (8-bit RGB,
// zlib, adaptive filters), and each reading comes after PAUSE seconds idle, with the
// file in the page cache, as a portal's just-written one is. Prints one line of JSON.
//
//   kestrova_bench_portalpicture SCREEN.png [--runs N] [--pause SECONDS]

#include "BenchStats.h"
#include "PortalPicture.h"

#include <QColorSpace>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QGuiApplication>
#include <QImageReader>
#include <QtConcurrent/QtConcurrentRun>
#include <QTemporaryDir>
#include <QThread>

#include <cstdio>

using namespace kestrova;

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 2) {
        std::fprintf(stderr, "usage: kestrova_bench_portalpicture SCREEN.png [--runs N] "
                             "[--pause SECONDS]\n");
        return 2;
    }
    const auto option = [&](const char* name, int fallback) {
        const qsizetype at = args.indexOf(QLatin1String(name));
        return at > 0 && at + 1 < args.size() ? args.at(at + 1).toInt() : fallback;
    };
    const int runs = option("--runs", 5);
    const int pause = option("--pause", 10);

    QTemporaryDir dir;
    const QString written = dir.filePath(QStringLiteral("screen.png"));
    QImage screen = QImage(args.at(1)).convertToFormat(QImage::Format_RGB32);
    // Pixels only: a desktop's PNG names no colour space.
    screen.setColorSpace(QColorSpace());
    if (screen.isNull() || !screen.save(written, "PNG")) {
        std::fprintf(stderr, "cannot read %s\n", qPrintable(args.at(1)));
        return 2;
    }
    const int limit = 1024;

    std::vector<double> kestrova;
    std::vector<double> ready;
    std::vector<double> qt;
    for (int run = 0; run < runs; ++run) {
        // kestrova's reader removes the file: each reading gets a copy, made before the
        // pause so that it waits in the page cache like the portal's.
        const QString copy = dir.filePath(QStringLiteral("portal-%1.png").arg(run));
        QFile::copy(written, copy);
        QThread::sleep(pause);
        QElapsedTimer timer;
        timer.start();
        const Expected<QImage> taken = PortalPicture::take(copy, limit);
        kestrova.push_back(timer.nsecsElapsed() / 1e6);
        if (!taken || taken.value() != screen) {
            std::fprintf(stderr, "kestrova's reader got another picture\n");
            return 1;
        }

        QFile::copy(written, copy);
        QThread::sleep(pause);
        QFuture<PngDecoder::Memory> memory =
            QtConcurrent::run([size = screen.size()] { return PngDecoder::Memory::make(size); });
        QThread::msleep(150);
        timer.start();
        const Expected<QImage> takenReady = PortalPicture::take(copy, limit, memory.takeResult());
        ready.push_back(timer.nsecsElapsed() / 1e6);
        if (!takenReady || takenReady.value() != screen)
            return 1;

        QThread::sleep(pause);
        timer.start();
        QImageReader reader(written);
        reader.setAllocationLimit(limit);
        const QImage decoded = reader.read().convertToFormat(QImage::Format_RGB32);
        qt.push_back(timer.nsecsElapsed() / 1e6);
        if (decoded.isNull())
            return 1;
    }
    std::printf("{\"width\":%d,\"height\":%d,\"pause_s\":%d,\"runs\":%d,%s,%s,%s}\n",
                screen.width(), screen.height(), pause, runs,
                qPrintable(json("kestrova_take_ms", stats(kestrova))),
                qPrintable(json("kestrova_take_memory_ready_ms", stats(ready))),
                qPrintable(json("qt_decode_ms", stats(qt))));
    return 0;
}
