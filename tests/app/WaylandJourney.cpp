#include "WaylandJourney.h"

#include "TestSupport.h"

#include <QDBusConnection>
#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QTest>

#include <cmath>

namespace kestrova::test {

int runSlowly(const QString& program, const QStringList& arguments, QByteArray* out) {
    return run(program, arguments, out, 60000);
}

QImage wallpaper(QSize size, quint32 seed) {
    QImage image(size, QImage::Format_RGB32);
    QRandomGenerator random(seed);
    for (int y = 0; y < size.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < size.width(); ++x) {
            const int block = ((x / 97) * 31 + (y / 61) * 17 + int(seed)) % 200;
            line[x] = qRgb(block + random.bounded(40), (block * 3) % 200 + random.bounded(40),
                           255 - block - random.bounded(40));
        }
    }
    return image;
}

QImage settledScreen(const std::function<QImage()>& read, QPoint probe) {
    QImage last;
    const bool settled = waitUntil(
        [&] {
            const QImage now = read();
            const bool same =
                !now.isNull() && now == last && now.pixel(probe) != now.pixel(probe + QPoint(1, 0));
            last = now;
            return same;
        },
        20000);
    return settled ? last : QImage();
}

bool editorShows(const std::function<QImage()>& read, const QImage& desktop,
                 const QRect& selection) {
    const QRect inside = selection.adjusted(8, 8, -8, -8);
    if (!waitUntil([&] { return read().copy(inside) == desktop.copy(inside); }, 10000))
        return false;
    QTest::qWait(300);
    return true;
}

qint64 pixelsNotDimmed(const QImage& shown, const QImage& reference, double tolerance,
                       int cursorSize) {
    if (shown.size() != reference.size())
        return -1;
    const QRect cursor(shown.width() - cursorSize, shown.height() - cursorSize, cursorSize,
                       cursorSize);
    qint64 wrong = 0;
    const auto off = [&](int a, int b) { return std::abs(a - b * 0.65) > tolerance; };
    for (int y = 0; y < shown.height(); ++y) {
        const auto* a = reinterpret_cast<const QRgb*>(shown.constScanLine(y));
        const auto* b = reinterpret_cast<const QRgb*>(reference.constScanLine(y));
        for (int x = 0; x < shown.width(); ++x) {
            if (off(qRed(a[x]), qRed(b[x])) || off(qGreen(a[x]), qGreen(b[x])) ||
                off(qBlue(a[x]), qBlue(b[x])))
                wrong += !cursor.contains(x, y);
        }
    }
    return wrong;
}

qint64 pixelsDiffering(const QImage& a, const QImage& b, int cursorSize) {
    if (a.size() != b.size())
        return -1;
    qint64 wrong = 0;
    for (int y = 0; y < a.height(); ++y) {
        for (int x = 0; x < a.width(); ++x) {
            if (a.pixel(x, y) != b.pixel(x, y) &&
                (x < a.width() - cursorSize || y < a.height() - cursorSize))
                ++wrong;
        }
    }
    return wrong;
}

QPoint toolbarButton(const QRect& selection, int index) {
    // Centred 10 points under the selection, buttons 30 wide at these offsets.
    static const int xs[11] = {7, 40, 73, 106, 139, 172, 205, 238, 285, 318, 351};
    const int barX = selection.center().x() + 1 - 388 / 2;
    const int barY = selection.bottom() + 1 + 10;
    return {barX + xs[index] + 15, barY + 7 + 15};
}

QImage takeScreenshot(const QString& folder) {
    QString found;
    waitUntil(
        [&] {
            const QStringList files =
                QDir(folder).entryList({QStringLiteral("*.png")}, QDir::Files);
            if (files.isEmpty())
                return false;
            found = QDir(folder).filePath(files.constFirst());
            return true;
        },
        15000);
    if (found.isEmpty())
        return {};
    const QImage image = read(found).convertToFormat(QImage::Format_RGB32);
    QFile::remove(found);
    return image;
}

QImage pastedImage() {
    QByteArray png;
    waitUntil(
        [&] {
            return runSlowly(QStringLiteral("wl-paste"),
                             {QStringLiteral("--type"), QStringLiteral("image/png")}, &png) == 0;
        },
        5000);
    return decode(png).convertToFormat(QImage::Format_RGB32);
}

QString startInstance(QProcess& instance, const QString& shots) {
    const QString config =
        QString::fromLocal8Bit(qgetenv("XDG_CONFIG_HOME")) + QStringLiteral("/kestrova");
    QFile settings(config + QStringLiteral("/kestrova.conf"));
    if (!QDir().mkpath(config) || !QDir().mkpath(shots) || !settings.open(QIODevice::WriteOnly))
        return QStringLiteral("cannot write kestrova's settings");
    settings.write("[General]\nsaveFolderBookmark=@ByteArray(" + shots.toUtf8() + ")\n");
    settings.close();

    // A desktop starts its portal with the session; so does this test, rather than on the
    // first capture's demand.
    if (runSlowly(QStringLiteral("dbus-send"),
                  {QStringLiteral("--session"), QStringLiteral("--print-reply"),
                   QStringLiteral("--reply-timeout=60000"),
                   QStringLiteral("--dest=org.freedesktop.DBus"), QStringLiteral("/"),
                   QStringLiteral("org.freedesktop.DBus.StartServiceByName"),
                   QStringLiteral("string:org.freedesktop.portal.Desktop"),
                   QStringLiteral("uint32:0")}) != 0)
        return QStringLiteral("the desktop portal did not start");
    instance.start(QString::fromLocal8Bit(qgetenv("KESTROVA")), {});
    if (!instance.waitForStarted(5000))
        return QStringLiteral("kestrova did not start");
    // One instance per session, found through a socket named after the session's.
    const QString socket =
        QString::fromLocal8Bit(qgetenv("XDG_RUNTIME_DIR")) +
        QStringLiteral("/kestrova-wayland_%1.socket")
            .arg(QString::fromLocal8Bit(qgetenv("WAYLAND_DISPLAY")).replace(u'-', u'_'));
    if (!waitUntil([&] { return QFile::exists(socket); }, 10000))
        return QString::fromLocal8Bit(instance.readAllStandardError());
    return {};
}

QByteArray quitInstance(QProcess& instance) {
    runSlowly(QString::fromLocal8Bit(qgetenv("KESTROVA")), {QStringLiteral("--quit")});
    if (!instance.waitForFinished(10000))
        instance.kill();
    return instance.readAllStandardError();
}

QDBusMessage call(const QString& service, const QString& path, const QString& interface,
                  const QString& method, const QVariantList& arguments) {
    QDBusMessage message = QDBusMessage::createMethodCall(service, path, interface, method);
    message.setArguments(arguments);
    return QDBusConnection::sessionBus().call(message, QDBus::Block, 30000);
}

QString SeatInput::start() {
    m_process.start(QString::fromLocal8Bit(qgetenv("SEAT_INPUT")), {});
    if (!m_process.waitForStarted(5000))
        return QStringLiteral("seat_input did not start");
    while (!m_process.canReadLine() && m_process.waitForReadyRead(5000)) {
    }
    if (m_process.readLine().trimmed() != "ready")
        return QString::fromLocal8Bit(m_process.readAllStandardError());
    return {};
}

// The device leaves the seat when its commands end.
SeatInput::~SeatInput() {
    m_process.closeWriteChannel();
    if (!m_process.waitForFinished(5000))
        m_process.kill();
}

bool SeatInput::send(const QString& command) {
    m_process.write(command.toUtf8() + '\n');
    while (!m_process.canReadLine()) {
        if (!m_process.waitForReadyRead(5000))
            return false;
    }
    return m_process.readLine().trimmed() == "ok";
}

bool SeatInput::moveTo(QPoint at, QSize layout) {
    return send(QStringLiteral("move %1 %2 %3 %4")
                    .arg(at.x())
                    .arg(at.y())
                    .arg(layout.width())
                    .arg(layout.height()));
}

// Like a hand: a pause before the button goes down, and the way there in steps.
bool SeatInput::drag(QPoint from, QPoint to, QSize layout) {
    if (!moveTo(from, layout))
        return false;
    QTest::qWait(50);
    if (!send(QStringLiteral("press")))
        return false;
    for (int step = 1; step <= 5; ++step) {
        if (!moveTo(from + (to - from) * step / 5, layout))
            return false;
        QTest::qWait(30);
    }
    return send(QStringLiteral("release"));
}

bool SeatInput::click(QPoint at, QSize layout) {
    if (!moveTo(at, layout))
        return false;
    QTest::qWait(100);
    return send(QStringLiteral("press")) && send(QStringLiteral("release"));
}

bool SeatInput::keys(const QList<int>& codes) {
    QString command = QStringLiteral("key");
    for (int code : codes)
        command += u' ' + QString::number(code);
    return send(command);
}

} // namespace kestrova::test
