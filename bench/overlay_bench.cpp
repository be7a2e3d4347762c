// Measures the real kestrova from outside, the way a user meets it: on an Xvfb screen
// of its own showing a given screenshot, with a tray, it reports
//   - first_capture_after_start: the hot key (sent through XTest by this program) until
//     every screen reads back dimmed, for the first capture after kestrova starts;
//   - capture_35s_after_last: the same after a pause in which kestrova fell idle, the
//     capture people actually make;
//   - capture_within_30s: the same for a capture right after another, and spread: how
//     far apart the screens dimmed (over all of these);
//   - rss_overlay_up: resident memory while a capture after a pause is on screen;
//   - capture_command_to_dimmed: `kestrova --capture` until every screen is dimmed;
//   - drag_cpu_per_move / xserver_cpu_per_move: processor time of kestrova and of the
//     X server per mouse move while dragging out a selection;
//   - start_to_tray: start until the tray icon is embedded;
//   - rss_idle / rss_40s_after_session: resident memory after start, and 40 s after
//     a capture that went through the editor.
// Times in milliseconds (min/median/max), memory in MB. One line of JSON per case.
//
// Usage: kestrova_bench_overlay SCREEN.png SCALE [--monitors 2] [--runs N] [--kestrova PATH]
// The reference cases are screen-3840x2160.png at 1 and screen-5120x2880.png at 2.
// Needs Xvfb, xdotool, trayer and xrandr (the test command's packages) and libxcb-xtest.

#include "BenchDisplay.h"
#include "BenchStats.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QPainter>
#include <QProcess>
#include <QScreen>
#include <QTemporaryDir>
#include <QWidget>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

#include <unistd.h>

#include <xcb/xcb.h>
#include <xcb/xtest.h>

namespace {

int run(const QString& program, const QStringList& arguments, QByteArray* out = nullptr) {
    QProcess p;
    p.start(program, arguments);
    p.waitForFinished(30000);
    if (out)
        *out = p.readAllStandardOutput();
    return p.exitCode();
}

void xdotool(const QStringList& arguments) {
    run(QStringLiteral("xdotool"), arguments);
}

// Processor time (user + system) of a process so far, in milliseconds.
double cpuMs(qint64 pid) {
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray text = stat.readAll();
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    return (fields.value(11).toDouble() + fields.value(12).toDouble()) * 1000.0 /
           double(sysconf(_SC_CLK_TCK));
}

double rssMb(qint64 pid) {
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toDouble() / 1024.0;
    }
    return 0;
}

// The hot key pressed through XTest from this process, so that the time measured starts
// with the key press itself rather than with a helper program starting up.
class HotKey final {
public:
    HotKey() {
        m_connection = xcb_connect(nullptr, nullptr);
        const xcb_setup_t* setup = xcb_get_setup(m_connection);
        const auto first = setup->min_keycode;
        const int count = setup->max_keycode - first + 1;
        xcb_get_keyboard_mapping_reply_t* map = xcb_get_keyboard_mapping_reply(
            m_connection, xcb_get_keyboard_mapping(m_connection, first, count), nullptr);
        if (!map)
            return;
        const xcb_keysym_t* syms = xcb_get_keyboard_mapping_keysyms(map);
        const int per = map->keysyms_per_keycode;
        const auto code = [&](xcb_keysym_t wanted) -> xcb_keycode_t {
            for (int k = 0; k < count; ++k) {
                if (syms[k * per] == wanted)
                    return xcb_keycode_t(first + k);
            }
            return 0;
        };
        m_shift = code(0xffe1); // Shift_L
        m_super = code(0xffeb); // Super_L
        m_two = code(0x32);     // 2
        std::free(map);
    }
    ~HotKey() { xcb_disconnect(m_connection); }
    HotKey(const HotKey&) = delete;
    HotKey& operator=(const HotKey&) = delete;

    bool usable() const { return m_shift && m_super && m_two; }

    void holdModifiers() {
        send(XCB_KEY_PRESS, m_shift);
        send(XCB_KEY_PRESS, m_super);
        sync();
    }
    // Presses the key itself; the modifiers must be held.
    void press() {
        send(XCB_KEY_PRESS, m_two);
        xcb_flush(m_connection);
    }
    void releaseAll() {
        send(XCB_KEY_RELEASE, m_two);
        send(XCB_KEY_RELEASE, m_super);
        send(XCB_KEY_RELEASE, m_shift);
        sync();
    }

private:
    void send(std::uint8_t type, xcb_keycode_t key) {
        xcb_test_fake_input(m_connection, type, key, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
    }
    void sync() {
        std::free(
            xcb_get_input_focus_reply(m_connection, xcb_get_input_focus(m_connection), nullptr));
    }

    xcb_connection_t* m_connection = nullptr;
    xcb_keycode_t m_shift = 0, m_super = 0, m_two = 0;
};

// The screenshot as the desktop, under every other window.

// A point of each monitor where the screenshot is bright enough to see dimming.
struct Probe {
    QPoint at;
    QRgb original;
};

QRgb readPixel(QPoint at) {
    const QImage pixel =
        QGuiApplication::primaryScreen()->grabWindow(0, at.x(), at.y(), 1, 1).toImage();
    return pixel.isNull() ? 0 : pixel.pixel(0, 0);
}

bool looksDimmed(QRgb now, QRgb original) {
    const auto near = [](int a, int b) { return std::abs(a - b * 0.65) <= 4; };
    return near(qRed(now), qRed(original)) && near(qGreen(now), qGreen(original)) &&
           near(qBlue(now), qBlue(original));
}

class Bench final {
public:
    Bench(QString kestrova, const QImage& screen, double scale, int monitors, int runs)
        : m_kestrova(std::move(kestrova)), m_screen(screen), m_scale(scale), m_monitors(monitors),
          m_runs(runs) {}

    bool prepare() {
        // One probe per monitor, at its centre or the nearest bright pixel.
        const int width = m_screen.width() / m_monitors;
        for (int m = 0; m < m_monitors; ++m) {
            QPoint centre(m * width + width / 2, m_screen.height() / 2);
            for (int step = 0; step < 4000; ++step) {
                const QPoint p = centre + QPoint((step * 37) % 400 - 200, (step * 53) % 400 - 200);
                const QRgb c = m_screen.pixel(p);
                if (qRed(c) > 100 && qGreen(c) > 100 && qBlue(c) > 100) {
                    m_probes.push_back({p, c});
                    break;
                }
            }
        }
        return int(m_probes.size()) == m_monitors;
    }

    bool usable() const { return m_hotKey.usable(); }

    QProcessEnvironment environment() const {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("HOME"), m_home.path());
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), m_home.path() + QStringLiteral("/config"));
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_home.path() + QStringLiteral("/runtime"));
        env.insert(QStringLiteral("QT_SCALE_FACTOR"), QString::number(m_scale));
        env.remove(QStringLiteral("QT_QPA_PLATFORM"));
        env.remove(QStringLiteral("WAYLAND_DISPLAY"));
        return env;
    }

    bool trayIconShown() {
        QByteArray out;
        run(QStringLiteral("xdotool"),
            {QStringLiteral("search"), QStringLiteral("--onlyvisible"), QStringLiteral("--class"),
             QStringLiteral("^kestrova$")},
            &out);
        return !out.trimmed().isEmpty();
    }

    // Starts kestrova; returns the time until its tray icon was embedded.
    double start() {
        QDir().mkpath(m_home.path() + QStringLiteral("/runtime"));
        QFile::setPermissions(m_home.path() + QStringLiteral("/runtime"),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        m_process.setProcessEnvironment(environment());
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        QElapsedTimer timer;
        timer.start();
        m_process.start(m_kestrova, {});
        m_process.waitForStarted();
        while (!trayIconShown() && timer.elapsed() < 20000) {
        }
        return timer.nsecsElapsed() / 1e6;
    }

    void stop() {
        QProcess quit;
        quit.setProcessEnvironment(environment());
        quit.start(m_kestrova, {QStringLiteral("--quit")});
        quit.waitForFinished(10000);
        m_process.waitForFinished(10000);
    }

    // Time until every monitor reads back dimmed; the time each one did in `each`.
    double untilDimmed(const std::function<void()>& trigger, std::vector<double>& each) {
        each.assign(m_probes.size(), -1);
        QElapsedTimer timer;
        timer.start();
        trigger();
        std::size_t left = m_probes.size();
        while (left > 0 && timer.elapsed() < 10000) {
            // The desktop window is this process's: it must repaint what the overlay
            // uncovers, as a real desktop would.
            QApplication::processEvents();
            for (std::size_t i = 0; i < m_probes.size(); ++i) {
                if (each[i] < 0 && looksDimmed(readPixel(m_probes[i].at), m_probes[i].original)) {
                    each[i] = timer.nsecsElapsed() / 1e6;
                    --left;
                }
            }
        }
        return timer.nsecsElapsed() / 1e6;
    }

    // Ends the selection with a click that selects nothing.
    void cancel() {
        const QPoint at = m_probes.front().at;
        xdotool({QStringLiteral("mousemove"), QString::number(at.x()), QString::number(at.y()),
                 QStringLiteral("click"), QStringLiteral("1")});
        waitUndimmed();
    }

    void waitUndimmed() {
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < 5000 && readPixel(m_probes[0].at) != m_probes[0].original)
            pause(5);
        pause(300);
    }

    void measure() {
        std::vector<double> startToTray, firstKeyToDimmed, afterPause, keyToDimmed, spread,
            commandToDimmed, dragCpu, serverCpu, rssOverlay;
        double rssIdle = 0, rssAfter = 0;
        const auto noteSpread = [&](const std::vector<double>& each) {
            const auto [lo, hi] = std::minmax_element(each.begin(), each.end());
            spread.push_back(*hi - *lo);
        };
        std::vector<double> each;
        // Each start is followed by a first capture, which finds nothing kept from an
        // earlier one.
        for (int r = 0; r < m_runs; ++r) {
            startToTray.push_back(start());
            pause(1500);
            if (r == 0)
                rssIdle = rssMb(m_process.processId());
            m_hotKey.holdModifiers();
            firstKeyToDimmed.push_back(untilDimmed([this] { m_hotKey.press(); }, each));
            m_hotKey.releaseAll();
            noteSpread(each);
            cancel();
            if (r + 1 < m_runs)
                stop();
        }

        const QPoint base = m_probes.front().at;
        for (int r = 0; r < m_runs; ++r) {
            pause(35000);
            m_hotKey.holdModifiers();
            afterPause.push_back(untilDimmed([this] { m_hotKey.press(); }, each));
            m_hotKey.releaseAll();
            noteSpread(each);
            pause(300);
            rssOverlay.push_back(rssMb(m_process.processId()));
            cancel();
        }
        for (int r = 0; r < m_runs; ++r) {
            m_hotKey.holdModifiers();
            keyToDimmed.push_back(untilDimmed([this] { m_hotKey.press(); }, each));
            m_hotKey.releaseAll();
            noteSpread(each);
            cancel();
        }
        for (int r = 0; r < m_runs; ++r) {
            commandToDimmed.push_back(untilDimmed(
                [this] {
                    QProcess client;
                    client.setProcessEnvironment(environment());
                    client.setProgram(m_kestrova);
                    client.setArguments({QStringLiteral("--capture")});
                    client.startDetached();
                },
                each));
            cancel();
        }

        // A drag of 60 moves, then the editor, then leaving it: a whole session.
        constexpr int moves = 60;
        for (int r = 0; r < std::min(m_runs, 3); ++r) {
            m_hotKey.holdModifiers();
            untilDimmed([this] { m_hotKey.press(); }, each);
            m_hotKey.releaseAll();
            const QPoint from = base - QPoint(300, 200);
            xdotool({QStringLiteral("mousemove"), QString::number(from.x()),
                     QString::number(from.y())});
            xdotool({QStringLiteral("mousedown"), QStringLiteral("1")});
            pause(100);
            const double k0 = cpuMs(m_process.processId()), x0 = cpuMs(m_server);
            for (int i = 1; i <= moves; ++i) {
                const QPoint to = from + QPoint(i * 9, i * 5);
                xdotool({QStringLiteral("mousemove"), QString::number(to.x()),
                         QString::number(to.y())});
                pause(16);
            }
            pause(200);
            dragCpu.push_back((cpuMs(m_process.processId()) - k0) / moves);
            serverCpu.push_back((cpuMs(m_server) - x0) / moves);
            xdotool({QStringLiteral("mouseup"), QStringLiteral("1")});
            pause(1500);
            xdotool({QStringLiteral("key"), QStringLiteral("Escape")});
            waitUndimmed();
        }
        pause(40000);
        rssAfter = rssMb(m_process.processId());
        stop();

        const QStringList fields{json("first_capture_after_start", stats(firstKeyToDimmed)),
                                 json("capture_35s_after_last", stats(afterPause)),
                                 json("capture_within_30s", stats(keyToDimmed)),
                                 json("spread", stats(spread)),
                                 json("capture_command_to_dimmed", stats(commandToDimmed)),
                                 json("drag_cpu_per_move", stats(dragCpu)),
                                 json("xserver_cpu_per_move", stats(serverCpu)),
                                 json("start_to_tray", stats(startToTray)),
                                 json("rss_overlay_up", stats(rssOverlay))};
        std::printf("{\"screen\":\"%dx%d\",\"scale\":%g,\"monitors\":%d,\"runs\":%d,%s,"
                    "\"rss_idle\":%.1f,\"rss_40s_after_session\":%.1f}\n",
                    m_screen.width(), m_screen.height(), m_scale, m_monitors, m_runs,
                    qPrintable(fields.join(u',')), rssIdle, rssAfter);
        std::fflush(stdout);
    }

    qint64 m_server = 0;

private:
    QString m_kestrova;
    QImage m_screen;
    double m_scale;
    int m_monitors;
    int m_runs;
    QTemporaryDir m_home;
    QProcess m_process;
    std::vector<Probe> m_probes;
    HotKey m_hotKey;
};

} // namespace

int main(int argc, char** argv) {
    QStringList args;
    for (int i = 1; i < argc; ++i)
        args << QString::fromLocal8Bit(argv[i]);
    if (args.size() < 2) {
        std::fprintf(stderr,
                     "usage: kestrova_bench_overlay SCREEN.png SCALE [--monitors 2] [--runs N] "
                     "[--kestrova PATH]\n");
        return 2;
    }
    const QImage screen = QImage(args[0]).convertToFormat(QImage::Format_RGB32);
    const double scale = args[1].toDouble();
    const int monitors = args.contains(QStringLiteral("--monitors"))
                             ? args.value(args.indexOf(QStringLiteral("--monitors")) + 1).toInt()
                             : 1;
    const int runs = args.contains(QStringLiteral("--runs"))
                         ? args.value(args.indexOf(QStringLiteral("--runs")) + 1).toInt()
                         : 7;
    if (screen.isNull() || scale <= 0 || monitors < 1 || runs < 1) {
        std::fprintf(stderr, "kestrova_bench_overlay: cannot read %s\n", argv[1]);
        return 2;
    }

    QProcess xvfb;
    startXvfb(xvfb, screen.size(), 150);
    if (monitors == 2) {
        const int half = screen.width() / 2;
        const QString geometry = QStringLiteral("%1/600x%2/340+%3+0");
        run(QStringLiteral("xrandr"),
            {QStringLiteral("--setmonitor"), QStringLiteral("LEFT"),
             geometry.arg(half).arg(screen.height()).arg(0), QStringLiteral("screen")});
        run(QStringLiteral("xrandr"),
            {QStringLiteral("--setmonitor"), QStringLiteral("RIGHT"),
             geometry.arg(half).arg(screen.height()).arg(half), QStringLiteral("none")});
    }

    int status = 0;
    {
        QApplication app(argc, argv);
        Desktop desktop(screen);
        desktop.show();
        QProcess trayer;
        trayer.start(QStringLiteral("trayer"),
                     {QStringLiteral("--edge"), QStringLiteral("top"), QStringLiteral("--align"),
                      QStringLiteral("right"), QStringLiteral("--widthtype"),
                      QStringLiteral("pixel"), QStringLiteral("--width"), QStringLiteral("200"),
                      QStringLiteral("--height"), QStringLiteral("32")});
        pause(1500);
        const QString kestrova = args.contains(QStringLiteral("--kestrova"))
                                     ? args.value(args.indexOf(QStringLiteral("--kestrova")) + 1)
                                     : QStringLiteral(KESTROVA_BINARY);
        Bench bench(kestrova, screen, scale, monitors, runs);
        bench.m_server = xvfb.processId();
        if (!bench.usable()) {
            std::fprintf(stderr,
                         "kestrova_bench_overlay: no keys for Shift+Super+2 on this server\n");
            status = 1;
        } else if (!bench.prepare()) {
            std::fprintf(stderr, "kestrova_bench_overlay: the screenshot has no bright pixels\n");
            status = 1;
        } else {
            bench.measure();
        }
        trayer.terminate();
        trayer.waitForFinished(3000);
    }
    xvfb.terminate();
    xvfb.waitForFinished(3000);
    return status;
}
