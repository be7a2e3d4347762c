// How long a capture takes to reach the screen in a Wayland session: from
// `kestrova --capture` until every output reads back dimmed, and how much of that is
// the capture route's own round trip (the compositor's copies, and the screenshot
// portal's). Runs inside a wlroots session with the portal (for a headless one:
// tests/platform/wayland/wayland_session.sh sway), with KESTROVA naming the binary; needs
// swaymsg and wtype. PAUSE seconds pass before each capture (a capture usually
// follows minutes of other work); "mixed" adds a second output at scale 2. Set
// KESTROVA_CAPTURE=portal to time kestrova taking the screen through the portal.
// Prints one line of JSON.
//
//   wayland_session.sh sway build/bench/kestrova_bench_wayland build/src/kestrova
//       [-- ROUNDS [PAUSE [mixed]]]

#include "PortalCaptureBackend.h"
#include "ScreencopyCaptureBackend.h"

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

// The green of one pixel of each output, read back from the compositor. Its own
// screen copies, not a reading program started each time: a start costs more than the
// compositor's next frame.
std::vector<int> greysAt(ScreencopyConnection& compositor, const std::vector<ScreenInfo>& screens) {
    std::vector<int> greys;
    Expected<std::vector<ScreencopyConnection::Frame>> frames = compositor.capture(screens);
    for (std::size_t i = 0; i < screens.size(); ++i) {
        const QImage pixels = frames ? frames.value()[i].pixels : QImage();
        greys.push_back(pixels.isNull() ? -1 : qGreen(pixels.pixel(20, 20)));
    }
    return greys;
}

// How long each of `rounds` captures of the screens takes through `backend`.
std::vector<double> roundTrips(CaptureBackend& backend, const std::vector<ScreenInfo>& screens,
                               int rounds) {
    std::vector<double> ms;
    for (int i = 0; i < rounds; ++i) {
        QEventLoop loop;
        QFutureWatcher<CaptureBackend::Stills> answer;
        QObject::connect(&answer, &QFutureWatcherBase::finished, &loop, &QEventLoop::quit);
        QElapsedTimer timer;
        timer.start();
        answer.setFuture(backend.grabStills(screens));
        if (!answer.isFinished())
            loop.exec();
        ms.push_back(timer.nsecsElapsed() / 1e6);
    }
    return ms;
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
    const int pause = argc > 2 ? std::max(0, atoi(argv[2])) : 0;
    if (argc > 3 && qstrcmp(argv[3], "mixed") == 0) {
        run(QStringLiteral("swaymsg"), {QStringLiteral("create_output")});
        run(QStringLiteral("swaymsg"),
            {QStringLiteral("output"), QStringLiteral("HEADLESS-2"), QStringLiteral("resolution"),
             QStringLiteral("1920x1080"), QStringLiteral("scale"), QStringLiteral("2"),
             QStringLiteral("position"), QStringLiteral("1920"), QStringLiteral("0")});
    }
    const QString kestrova = QString::fromLocal8Bit(qgetenv("KESTROVA"));
    if (kestrova.isEmpty()) {
        std::fprintf(stderr, "set KESTROVA to the binary (wayland_session.sh does)\n");
        return 2;
    }
    const std::vector<ScreenInfo> screens = outputs();
    for (const ScreenInfo& s : screens)
        run(QStringLiteral("swaymsg"), {QStringLiteral("output"), s.name, QStringLiteral("bg"),
                                        QStringLiteral("#808080"), QStringLiteral("solid_color")});
    QThread::msleep(500);
    const std::unique_ptr<ScreencopyConnection> compositor = ScreencopyConnection::connect();
    if (!compositor) {
        std::fprintf(stderr, "the compositor offers no screen copies\n");
        return 2;
    }
    const int bright = greysAt(*compositor, screens).front();

    QProcess instance;
    instance.start(kestrova, {});
    QThread::msleep(1500);

    // The capture routes' own share: their round trips for pictures of every output.
    PortalCaptureBackend portalBackend;
    const std::vector<double> portal = roundTrips(portalBackend, screens, rounds);
    std::vector<double> screencopy;
    if (auto backend = ScreencopyCaptureBackend::connect())
        screencopy = roundTrips(*backend, screens, rounds);

    std::vector<double> visible;
    for (int i = 0; i < rounds; ++i) {
        QThread::sleep(pause);
        QElapsedTimer timer;
        timer.start();
        QProcess::startDetached(kestrova, {QStringLiteral("--capture")});
        std::vector<bool> dimmed(screens.size(), false);
        while (!std::all_of(dimmed.begin(), dimmed.end(), [](bool d) { return d; }) &&
               timer.elapsed() < 20000) {
            const std::vector<int> greys = greysAt(*compositor, screens);
            for (std::size_t s = 0; s < screens.size(); ++s)
                dimmed[s] = dimmed[s] || (greys[s] >= 0 && greys[s] < bright * 0.8);
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
                     {QStringLiteral("pause_s"), pause},
                     {QStringLiteral("capture"),
                      qEnvironmentVariable("KESTROVA_CAPTURE", QStringLiteral("default"))},
                     {QStringLiteral("capture_to_every_output_dimmed_ms"), summary(visible)},
                     {QStringLiteral("portal_round_trip_ms"), summary(portal)},
                     {QStringLiteral("screencopy_round_trip_ms"), summary(screencopy)}};
    std::printf("%s\n", QJsonDocument(line).toJson(QJsonDocument::Compact).constData());
    return 0;
}
