#include "TestSupport.h"

#include <QBuffer>
#include <QColorSpace>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QImageReader>
#include <QRandomGenerator>
#include <QTest>
#include <QThread>

#include <csignal>

namespace kestrova::test {

int run(const QString& program, const QStringList& arguments, QByteArray* output, int timeoutMs,
        const QProcessEnvironment& environment) {
    QProcess process;
    if (!environment.isEmpty())
        process.setProcessEnvironment(environment);
    process.setProcessChannelMode(QProcess::SeparateChannels);
    process.start(program, arguments);
    if (!process.waitForStarted(5000))
        return -1;
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished(1000);
        return -1;
    }
    if (output)
        *output = process.readAllStandardOutput();
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

bool waitUntil(const std::function<bool()>& condition, int timeoutMs) {
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > timeoutMs)
            return false;
        QTest::qWait(25);
    }
    return true;
}

void settle() {
    QGuiApplication::sync();
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
}

QImage pattern(int w, int h) {
    QImage image(w, h, QImage::Format_RGB32);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            image.setPixel(x, y, qRgb(x % 256, y % 256, (x / 256) * 16 + (y / 256)));
    return image;
}

QImage noise(QSize size, quint32 seed) {
    QImage image(size, QImage::Format_RGB32);
    QRandomGenerator random(seed);
    for (int y = 0; y < size.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < size.width(); ++x)
            line[x] = 0xff000000u | random.bounded(0x1000000u);
    }
    return image;
}

QImage withoutAlpha(QImage image) {
    for (int y = 0; y < image.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x)
            line[x] &= 0x00ffffffu;
    }
    return image;
}

bool storedOpaque(const QImage& image) {
    for (int y = 0; y < image.height(); ++y) {
        const auto* line = reinterpret_cast<const QRgb*>(image.constScanLine(y));
        for (int x = 0; x < image.width(); ++x)
            if (qAlpha(line[x]) != 255)
                return false;
    }
    return true;
}

QImage decode(const QByteArray& bytes) {
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    return pixelsOnly(reader.read());
}

QImage read(const QString& path) {
    return pixelsOnly(QImage(path));
}

QImage pixelsOnly(QImage image) {
    image.setColorSpace(QColorSpace());
    return image;
}

bool near(QRgb actual, QRgb expected, int tolerance) {
    return std::abs(qRed(actual) - qRed(expected)) <= tolerance &&
           std::abs(qGreen(actual) - qGreen(expected)) <= tolerance &&
           std::abs(qBlue(actual) - qBlue(expected)) <= tolerance;
}

XServer::XServer(int width, int height) : m_size(width, height) {
    int number = 150 + static_cast<int>(QCoreApplication::applicationPid() % 300);
    while (QFile::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(number)) ||
           QFile::exists(QStringLiteral("/tmp/.X%1-lock").arg(number)))
        ++number;
    m_display = QStringLiteral(":%1").arg(number);
    m_server.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_server.start(QStringLiteral("Xvfb"),
                   {m_display, QStringLiteral("-screen"), QStringLiteral("0"),
                    QStringLiteral("%1x%2x24").arg(width).arg(height), QStringLiteral("-noreset"),
                    QStringLiteral("-nolisten"), QStringLiteral("tcp")});
    m_server.waitForStarted(5000);
    // Polled without an event loop: servers are started before the application exists.
    const QString socket = QStringLiteral("/tmp/.X11-unix/X%1").arg(number);
    for (int i = 0; i < 200 && !QFile::exists(socket); ++i)
        QThread::msleep(50);
    // The socket appears before the server answers; wait for a client to get through.
    for (int i = 0; i < 100 && client(QStringLiteral("xdpyinfo"), {}) != 0; ++i)
        QThread::msleep(50);
}

void XServer::splitIntoTwoMonitors() {
    const int half = m_size.width() / 2;
    // Sizes in millimetres make 96 dots per inch.
    const QString geometry = QStringLiteral("%1/%2x%3/%4+%5+0")
                                 .arg(half)
                                 .arg(half * 254 / 960)
                                 .arg(m_size.height())
                                 .arg(m_size.height() * 254 / 960);
    client(QStringLiteral("xrandr"), {QStringLiteral("--setmonitor"), QStringLiteral("LEFT"),
                                      geometry.arg(0), QStringLiteral("screen")});
    client(QStringLiteral("xrandr"), {QStringLiteral("--setmonitor"), QStringLiteral("RIGHT"),
                                      geometry.arg(half), QStringLiteral("none")});
}

XServer::~XServer() {
    for (auto& c : m_clients) {
        c->terminate();
        if (!c->waitForFinished(2000))
            c->kill();
        c->waitForFinished(1000);
    }
    m_server.terminate();
    if (!m_server.waitForFinished(3000)) {
        m_server.kill();
        m_server.waitForFinished(1000);
    }
}

bool XServer::isRunning() const {
    return m_server.state() == QProcess::Running;
}

QProcessEnvironment XServer::environment() const {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DISPLAY"), m_display);
    return env;
}

int XServer::client(const QString& program, const QStringList& arguments, QByteArray* output) {
    return run(program, arguments, output, 15000, environment());
}

void XServer::start(const QString& program, const QStringList& arguments) {
    auto process = std::make_unique<QProcess>();
    process->setProcessEnvironment(environment());
    process->setStandardOutputFile(QProcess::nullDevice());
    process->setStandardErrorFile(QProcess::nullDevice());
    process->start(program, arguments);
    process->waitForStarted(5000);
    m_clients.push_back(std::move(process));
}

Kestrova::Kestrova(const QString& display) : m_display(display) {
    QDir(m_root.path()).mkpath(QStringLiteral("home"));
    QDir(m_root.path()).mkpath(QStringLiteral("config"));
    QDir(m_root.path()).mkpath(QStringLiteral("runtime"));
    QFile::setPermissions(runtimeDir(),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

Kestrova::~Kestrova() {
    if (m_process.state() != QProcess::NotRunning) {
        m_process.terminate();
        if (!m_process.waitForFinished(3000)) {
            m_process.kill();
            m_process.waitForFinished(2000);
        }
    }
}

QProcessEnvironment Kestrova::environment() const {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DISPLAY"), m_display);
    env.insert(QStringLiteral("HOME"), home());
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), configHome());
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtimeDir());
    env.remove(QStringLiteral("QT_QPA_PLATFORM"));
    env.remove(QStringLiteral("XDG_PICTURES_DIR"));
    return env;
}

bool Kestrova::start(const QStringList& arguments) {
    m_process.setProcessEnvironment(environment());
    m_process.start(QStringLiteral(KESTROVA_BINARY), arguments);
    return m_process.waitForStarted(5000);
}

int Kestrova::runAgain(const QStringList& arguments, QByteArray* errorOutput) {
    QProcess second;
    second.setProcessEnvironment(environment());
    second.start(QStringLiteral(KESTROVA_BINARY), arguments);
    if (!second.waitForStarted(5000) || !second.waitForFinished(15000)) {
        second.kill();
        second.waitForFinished(1000);
        return -1;
    }
    if (errorOutput)
        *errorOutput = second.readAllStandardError();
    return second.exitStatus() == QProcess::NormalExit ? second.exitCode() : -1;
}

bool Kestrova::waitForExit(int timeoutMs) {
    return waitUntil([&] { return m_process.state() == QProcess::NotRunning; }, timeoutMs);
}

QByteArray Kestrova::errorOutput() {
    m_stderr += m_process.readAllStandardError();
    return m_stderr;
}

int xdotool(const QStringList& arguments, QByteArray* output,
            const QProcessEnvironment& environment) {
    return run(QStringLiteral("xdotool"), arguments, output, 15000, environment);
}

QStringList findWindows(const QString& name, const QProcessEnvironment& environment) {
    QByteArray out;
    xdotool(
        {QStringLiteral("search"), QStringLiteral("--onlyvisible"), QStringLiteral("--name"), name},
        &out, environment);
    return QString::fromUtf8(out).split(u'\n', Qt::SkipEmptyParts);
}

void drag(int x0, int y0, int x1, int y1, const QProcessEnvironment& environment) {
    const auto step = [&](const QStringList& args) {
        xdotool(args, nullptr, environment);
        QTest::qWait(60);
    };
    step({QStringLiteral("mousemove"), QString::number(x0), QString::number(y0)});
    step({QStringLiteral("mousedown"), QStringLiteral("1")});
    for (int i = 1; i <= 4; ++i)
        step({QStringLiteral("mousemove"), QString::number(x0 + (x1 - x0) * i / 4),
              QString::number(y0 + (y1 - y0) * i / 4)});
    step({QStringLiteral("mouseup"), QStringLiteral("1")});
}

} // namespace kestrova::test
