// Measures screenshots from the command line, the way a script or key binding takes
// them: a fresh `kestrova` process each time, on an Xvfb screen of its own showing a
// given screenshot. It reports, in milliseconds (min/median/max), process start until
// the process has ended with its picture complete:
//   - screen_to_file: `kestrova --screen --output FILE.png`;
//   - screen_to_pipe: `kestrova --screen --output - | wc -c`;
//   - region_to_file: `kestrova --region 100,100,800,600 --output FILE.png`;
// and png_size_vs_qt: the file's size over Qt's own PNG writer's for the same pixels.
// One line of JSON.
//
// Usage: kestrova_bench_shot SCREEN.png SCALE [--runs N] [--pause SECONDS] [--kestrova PATH]
// The reference cases are screen-3840x2160.png at 1 and screen-5120x2880.png at 2.
// Needs Xvfb (the test command's packages).

#include "BenchDisplay.h"
#include "BenchStats.h"

#include <QApplication>
#include <QBuffer>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QImageWriter>
#include <QPainter>
#include <QProcess>
#include <QTemporaryDir>
#include <QWidget>

#include <algorithm>
#include <cstdio>

#include <unistd.h>

namespace {

// Milliseconds from start to the end of `program arguments`, or -1 when it failed.
double timed(const QString& program, const QStringList& arguments,
             const QProcessEnvironment& environment) {
    QProcess process;
    process.setProcessEnvironment(environment);
    process.setStandardOutputFile(QProcess::nullDevice());
    QElapsedTimer clock;
    clock.start();
    process.start(program, arguments);
    if (!process.waitForFinished(30000) || process.exitCode() != 0)
        return -1;
    return double(clock.nsecsElapsed()) / 1e6;
}

} // namespace

int main(int argc, char** argv) {
    QStringList args;
    for (int i = 1; i < argc; ++i)
        args << QString::fromLocal8Bit(argv[i]);
    const auto option = [&](const char* name, const QString& fallback) {
        const qsizetype at = args.indexOf(QLatin1String(name));
        return at >= 0 ? args.value(at + 1) : fallback;
    };
    if (args.size() < 2) {
        std::fprintf(stderr, "usage: kestrova_bench_shot SCREEN.png SCALE [--runs N] "
                             "[--pause SECONDS] [--kestrova PATH]\n");
        return 2;
    }
    const QImage screen = QImage(args[0]).convertToFormat(QImage::Format_RGB32);
    const QString scale = args[1];
    const int runs = option("--runs", QStringLiteral("7")).toInt();
    const int pauseMs = int(option("--pause", QStringLiteral("1")).toDouble() * 1000);
    const QString kestrova = option("--kestrova", QStringLiteral(KESTROVA_BINARY));
    if (screen.isNull() || runs < 1) {
        std::fprintf(stderr, "kestrova_bench_shot: cannot read %s\n", argv[1]);
        return 2;
    }

    QProcess xvfb;
    startXvfb(xvfb, screen.size(), 170);

    int status = 0;
    {
        QApplication app(argc, argv);
        Desktop desktop(screen);
        desktop.show();
        pause(1500);

        QTemporaryDir scratch;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_SCALE_FACTOR"), scale);
        env.insert(QStringLiteral("HOME"), scratch.path());
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), scratch.filePath(QStringLiteral("config")));
        const QString file = scratch.filePath(QStringLiteral("shot.png"));
        const QString shell = QStringLiteral("'%1' --screen --output - | wc -c").arg(kestrova);
        std::vector<double> toFile, toPipe, region;
        for (int i = 0; i < runs; ++i) {
            pause(pauseMs);
            toFile.push_back(timed(
                kestrova, {QStringLiteral("--screen"), QStringLiteral("--output"), file}, env));
            pause(pauseMs);
            toPipe.push_back(timed(QStringLiteral("sh"), {QStringLiteral("-c"), shell}, env));
            pause(pauseMs);
            region.push_back(
                timed(kestrova,
                      {QStringLiteral("--region"), QStringLiteral("100,100,800,600"),
                       QStringLiteral("--output"), scratch.filePath(QStringLiteral("r.png"))},
                      env));
        }
        for (const auto* samples : {&toFile, &toPipe, &region}) {
            if (std::find(samples->begin(), samples->end(), -1.0) != samples->end())
                status = 1;
        }
        // Against Qt's writer, on the very pixels kestrova wrote.
        QFile written(file);
        written.open(QIODevice::ReadOnly);
        const qint64 ours = written.size();
        QByteArray qt;
        QBuffer buffer(&qt);
        buffer.open(QIODevice::WriteOnly);
        QImageWriter(&buffer, "png").write(QImage(file));
        std::printf("{\"screen\":\"%dx%d@%s\",%s,%s,%s,\"png_size_vs_qt\":%.3f}\n", screen.width(),
                    screen.height(), qPrintable(scale),
                    qPrintable(json("screen_to_file", stats(toFile))),
                    qPrintable(json("screen_to_pipe", stats(toPipe))),
                    qPrintable(json("region_to_file", stats(region))),
                    qt.isEmpty() ? 0.0 : double(ours) / double(qt.size()));
        if (status)
            std::fprintf(stderr, "kestrova_bench_shot: a run failed\n");
    }
    xvfb.terminate();
    xvfb.waitForFinished(3000);
    return status;
}
