// The screens as the command-line screenshot lists them without Qt's platform, against
// the screens Qt itself lists on the same X server under the same settings.

#include "X11ScreenLayout.h"
#include "X11ScreenReader.h"

#include "TestSupport.h"

#include <QCursor>
#include <QGuiApplication>
#include <QScreen>
#include <QTest>

#include <cstdio>

using namespace kestrova;

namespace {

test::XServer* server = nullptr;

QString describe(const ScreenInfo& screen) {
    const QRect& g = screen.geometry;
    return QStringLiteral("%1 %2,%3 %4x%5 @%6")
        .arg(screen.name)
        .arg(g.x())
        .arg(g.y())
        .arg(g.width())
        .arg(g.height())
        .arg(screen.scale);
}

QString describe(QPoint pointer) {
    return QStringLiteral("pointer %1,%2").arg(pointer.x()).arg(pointer.y());
}

// What Qt lists: this program started again with Qt's platform under `environment`.
QStringList qtScreens(const QProcessEnvironment& environment) {
    QProcess qt;
    qt.setProcessEnvironment(environment);
    qt.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--qt-screens")});
    if (!qt.waitForFinished(15000))
        return {};
    return QString::fromUtf8(qt.readAllStandardOutput()).split(u'\n', Qt::SkipEmptyParts);
}

} // namespace

class X11ScreenLayoutTest final : public QObject {
    Q_OBJECT
private slots:
    void listsTheScreensAsQtDoes_data() {
        QTest::addColumn<bool>("twoMonitors");
        QTest::addColumn<int>("xftDpi");
        QTest::addColumn<QStringList>("settings");
        QTest::addColumn<bool>("followed");
        const auto row = [](const char* name, bool two, int dpi, QStringList settings,
                            bool followed = true) {
            QTest::newRow(name) << two << dpi << settings << followed;
        };
        row("one screen", false, 0, {});
        // B shows the primary output, so Qt lists it first; the sizes do not divide.
        row("primary first, Xft.dpi", true, 144, {});
        row("global factor", true, 0, {"QT_SCALE_FACTOR=1.5"});
        row("named factor over Xft.dpi", true, 144, {"QT_SCREEN_SCALE_FACTORS=B=2"});
        row("factors in order, times the global one", true, 0,
            {"QT_SCREEN_SCALE_FACTORS=1.25;3", "QT_SCALE_FACTOR=0.5"});
        row("font dpi", true, 0, {"QT_FONT_DPI=120"}, false);
        row("named and ordered at once", true, 0, {"QT_SCREEN_SCALE_FACTORS=B=2;1"}, false);
        row("no factor", false, 0, {"QT_SCALE_FACTOR=big"}, false);
    }
    void listsTheScreensAsQtDoes() {
        QFETCH(bool, twoMonitors);
        QFETCH(int, xftDpi);
        QFETCH(QStringList, settings);
        QFETCH(bool, followed);
        const auto xrandr = [](const QStringList& arguments) {
            return server->client(QStringLiteral("xrandr"), arguments);
        };
        xrandr({QStringLiteral("--delmonitor"), QStringLiteral("A")});
        xrandr({QStringLiteral("--delmonitor"), QStringLiteral("B")});
        if (twoMonitors) {
            QCOMPARE(xrandr({"--setmonitor", "A", "1001/264x2160/571+0+0", "none"}), 0);
            QCOMPARE(xrandr({"--setmonitor", "B", "2839/750x2160/571+1001+0", "screen"}), 0);
            QCOMPARE(xrandr({"--output", "screen", "--primary"}), 0);
        }
        const QString resources = xftDpi ? QStringLiteral("Xft.dpi:\t%1\n").arg(xftDpi)
                                         : QStringLiteral("Xft.rgba:\trgb\n");
        QCOMPARE(server->client(QStringLiteral("xprop"), {"-root", "-f", "RESOURCE_MANAGER", "8s",
                                                          "-set", "RESOURCE_MANAGER", resources}),
                 0);
        QCOMPARE(server->client(QStringLiteral("xdotool"), {"mousemove", "2000", "1001"}), 0);

        QProcessEnvironment environment = server->environment();
        for (const QString& key : environment.keys()) {
            if (key.startsWith(QLatin1String("QT_")))
                environment.remove(key);
        }
        for (const QString& setting : settings)
            environment.insert(setting.section(u'=', 0, 0), setting.section(u'=', 1));

        const std::unique_ptr<X11ScreenReader> display = X11ScreenReader::connect();
        QVERIFY(display);
        const std::optional<X11ScreenLayout> layout =
            X11ScreenLayout::read(display->connection(), display->screenNumber(), environment);
        QCOMPARE(layout.has_value(), followed);
        if (!followed)
            return;
        QStringList lean;
        for (const ScreenInfo& screen : layout->screens)
            lean << describe(screen);
        lean << describe(layout->pointer(display->connection(), display->screenNumber()).value());
        QCOMPARE(lean, qtScreens(environment));
    }
};

int main(int argc, char** argv) {
    if (argc == 2 && qstrcmp(argv[1], "--qt-screens") == 0) {
        QGuiApplication app(argc, argv);
        for (const QScreen* screen : QGuiApplication::screens())
            std::printf("%s\n", qPrintable(describe(ScreenInfo::of(screen))));
        std::printf("%s\n", qPrintable(describe(QCursor::pos())));
        return 0;
    }
    test::XServer own(3840, 2160);
    if (!own.isRunning())
        return 1;
    server = &own;
    qputenv("DISPLAY", own.display().toUtf8());
    QCoreApplication app(argc, argv);
    X11ScreenLayoutTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_x11screenlayout.moc"
