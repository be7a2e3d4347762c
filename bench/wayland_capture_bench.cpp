// How long a capture takes to reach the screen in a Wayland session: from
// `kestrova --capture` until every output reads back dimmed, and how much of that is
// the screenshot portal's own round trip. Runs inside a Wayland session with the
// portal (for a headless one: tests/platform/wayland/sway_session.sh), with KESTROVA
// naming the binary; needs swaymsg, grim and wtype. Prints one line of JSON.
//
//   sway_session.sh build/bench/kestrova_bench_wayland build/src/kestrova [-- ROUNDS]

#include "PortalCaptureBackend.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFutureWatcher>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QThread>

#include <algorithm>
#include <cstdio>

using namespace kestrova;

namespace {

QByteArray run(const QString& program, const QStringList& arguments) {
    QProcess process;
    process.start(program, arguments);
    process.waitForFinished(60000);
    return process.readAllStandardOutput();
}

std::vector<ScreenInfo> outputs() {
    std::vector<ScreenInfo> all;
    const QByteArray json =
        run(QStringLiteral("swaymsg"),
            {QStringLiteral("-r"), QStringLiteral("-t"), QStringLiteral("get_outputs")});
    for (const QJsonValue& value : QJsonDocument::fromJson(json).array()) {
        const QJsonObject o = value.toObject();
        const QJsonObject r = o.value(QStringLiteral("rect")).toObject();
        all.push_back(
            {o.value(QStringLiteral("name")).toString(),
             QRect(r.value(QStringLiteral("x")).toInt(), r.value(QStringLiteral("y")).toInt(),
                   r.value(QStringLiteral("width")).toInt(),
                   r.value(QStringLiteral("height")).toInt()),
             o.value(QStringLiteral("scale")).toDouble(1)});
    }
    return all;
}

// One pixel of an output, read back from the compositor.
int greyAt(const QString& output) {
    const QByteArray ppm =
        run(QStringLiteral("grim"),
            {QStringLiteral("-o"), output, QStringLiteral("-g"), QStringLiteral("20,20 1x1"),
             QStringLiteral("-t"), QStringLiteral("ppm"), QStringLiteral("-")});
    const QImage image = QImage::fromData(ppm, "PPM");
    return image.isNull() ? -1 : qGreen(image.pixel(0, 0));
}

QJsonObject summary(std::vector<double> ms) {
    std::sort(ms.begin(), ms.end());
    if (ms.empty())
        return {};
    return {{QStringLiteral("min"), ms.front()},
            {QStringLiteral("median"), ms[ms.size() / 2]},
            {QStringLiteral("max"), ms.back()}};
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int rounds = argc > 1 ? std::max(1, atoi(argv[1])) : 10;
    const QString kestrova = QString::fromLocal8Bit(qgetenv("KESTROVA"));
    if (kestrova.isEmpty()) {
        std::fprintf(stderr, "set KESTROVA to the binary (sway_session.sh does)\n");
        return 2;
    }
    const std::vector<ScreenInfo> screens = outputs();
    for (const ScreenInfo& s : screens)
        run(QStringLiteral("swaymsg"), {QStringLiteral("output"), s.name, QStringLiteral("bg"),
                                        QStringLiteral("#808080"), QStringLiteral("solid_color")});
    QThread::msleep(500);
    const int bright = greyAt(screens.front().name);

    QProcess instance;
    instance.start(kestrova, {});
    QThread::msleep(1500);

    // The portal's own share: its round trip for one picture of the whole desktop.
    std::vector<double> portal;
    PortalCaptureBackend backend;
    for (int i = 0; i < rounds; ++i) {
        QEventLoop loop;
        QFutureWatcher<CaptureBackend::Stills> answer;
        QObject::connect(&answer, &QFutureWatcherBase::finished, &loop, &QEventLoop::quit);
        QElapsedTimer timer;
        timer.start();
        answer.setFuture(backend.grabStills(screens));
        loop.exec();
        portal.push_back(timer.nsecsElapsed() / 1e6);
    }

    std::vector<double> visible;
    for (int i = 0; i < rounds; ++i) {
        QElapsedTimer timer;
        timer.start();
        QProcess::startDetached(kestrova, {QStringLiteral("--capture")});
        std::vector<bool> dimmed(screens.size(), false);
        while (!std::all_of(dimmed.begin(), dimmed.end(), [](bool d) { return d; }) &&
               timer.elapsed() < 20000) {
            for (std::size_t s = 0; s < screens.size(); ++s) {
                if (!dimmed[s]) {
                    const int grey = greyAt(screens[s].name);
                    dimmed[s] = grey >= 0 && grey < bright * 0.8;
                }
            }
        }
        visible.push_back(timer.nsecsElapsed() / 1e6);
        run(QStringLiteral("wtype"), {QStringLiteral("-s"), QStringLiteral("300"),
                                      QStringLiteral("-k"), QStringLiteral("Escape")});
        QThread::msleep(500);
    }
    run(kestrova, {QStringLiteral("--quit")});
    instance.waitForFinished(5000);

    QJsonObject line{{QStringLiteral("outputs"), int(screens.size())},
                     {QStringLiteral("rounds"), rounds},
                     {QStringLiteral("capture_to_every_output_dimmed_ms"), summary(visible)},
                     {QStringLiteral("portal_round_trip_ms"), summary(portal)}};
    std::printf("%s\n", QJsonDocument(line).toJson(QJsonDocument::Compact).constData());
    return 0;
}
