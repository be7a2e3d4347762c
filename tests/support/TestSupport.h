#pragma once

#include <QByteArray>
#include <QImage>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <functional>
#include <memory>

// Runs a helper that checks things itself, and ends the test if one of them failed.
#define STEP(call)                                                                                 \
    do {                                                                                           \
        call;                                                                                      \
        if (QTest::currentTestFailed())                                                            \
            return;                                                                                \
    } while (false)

namespace kestrova::test {

// Runs a program to completion; returns its exit code (-1 when it could not run).
int run(const QString& program, const QStringList& arguments, QByteArray* output = nullptr,
        int timeoutMs = 15000, const QProcessEnvironment& environment = {});

// Spins the event loop until `condition` holds or the time is up.
bool waitUntil(const std::function<bool()>& condition, int timeoutMs = 5000);
// Has everything the display server sent this process so far handled here (one round
// trip, then the events): input injected from outside has then arrived.
void settle();

// A capture whose every pixel tells where it is.
QImage pattern(int w, int h);
// Opaque pixels with no two neighbours alike, so that any shift or resampling shows.
QImage noise(QSize size, quint32 seed);
// The same pixels with RGB32's fourth byte cleared, as display servers may send it.
QImage withoutAlpha(QImage image);
// Whether every pixel's fourth byte is opaque as stored: QImage's own comparisons and
// pixel() leave it out for RGB32.
bool storedOpaque(const QImage& image);

// A decoded image from bytes (PNG, JPEG …).
QImage decode(const QByteArray& bytes);
// A picture file's pixels. Both leave out the colour space a file names (kestrova's PNGs
// say sRGB), which would make a decoded picture unequal to the same pixels in memory.
QImage read(const QString& path);
QImage pixelsOnly(QImage image);

// The pixel colour at (x, y) with each channel compared within `tolerance`.
bool near(QRgb actual, QRgb expected, int tolerance = 2);

// An X server of the test's own, for setups the shared display must not have (several
// monitors, a compositor). Stopped when destroyed.
class XServer final {
public:
    XServer(int width, int height);
    ~XServer();
    XServer(const XServer&) = delete;
    XServer& operator=(const XServer&) = delete;

    bool isRunning() const;
    QString display() const { return m_display; }
    QProcessEnvironment environment() const;
    // Runs an X client against this server.
    int client(const QString& program, const QStringList& arguments, QByteArray* output = nullptr);
    // Starts a long-running X client (window manager, compositor) until the server stops.
    void start(const QString& program, const QStringList& arguments);
    // Makes two monitors of the screen's halves, LEFT and RIGHT, as a pair of displays
    // side by side would be.
    void splitIntoTwoMonitors();

private:
    QString m_display;
    QSize m_size;
    QProcess m_server;
    std::vector<std::unique_ptr<QProcess>> m_clients;
};

// The kestrova binary in a scratch home of its own, against the given X display.
class Kestrova final {
public:
    explicit Kestrova(const QString& display = qEnvironmentVariable("DISPLAY"));
    ~Kestrova();

    QProcessEnvironment environment() const;
    bool start(const QStringList& arguments = {});
    // Runs a second `kestrova` with the same environment to completion.
    int runAgain(const QStringList& arguments, QByteArray* errorOutput = nullptr);
    bool waitForExit(int timeoutMs = 5000);
    int exitCode() const { return m_process.exitCode(); }
    QProcess::ExitStatus exitStatus() const { return m_process.exitStatus(); }
    QByteArray errorOutput();
    QProcess& process() { return m_process; }

    QString home() const { return m_root.path() + QStringLiteral("/home"); }
    QString configHome() const { return m_root.path() + QStringLiteral("/config"); }
    QString runtimeDir() const { return m_root.path() + QStringLiteral("/runtime"); }
    QString picturesDir() const { return home() + QStringLiteral("/Pictures/kestrova"); }

private:
    QTemporaryDir m_root;
    QString m_display;
    QProcess m_process;
    QByteArray m_stderr;
};

// xdotool against the current DISPLAY (or the given environment).
int xdotool(const QStringList& arguments, QByteArray* output = nullptr,
            const QProcessEnvironment& environment = {});
// The ids of windows whose name matches, newest last.
QStringList findWindows(const QString& name, const QProcessEnvironment& environment = {});
// Drags with the left button from one screen point to another, in steps.
void drag(int x0, int y0, int x1, int y1, const QProcessEnvironment& environment = {});

} // namespace kestrova::test
