// The real kestrova in a real Wayland session: headless sway, which kestrova reads
// itself (and through the wlroots screenshot portal when told to), driven from outside
// like a user would (a pointer device on the seat, wtype for keys) and read back with grim. Runs
// inside wayland_session.sh, which names the programs in KESTROVA and SEAT_INPUT.

#include "TestSupport.h"
#include "WaylandJourney.h"

#include <QDir>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QTest>

#include <cmath>
#include <functional>

using namespace kestrova;
using namespace kestrova::test;

namespace {

int swaymsg(const QStringList& arguments, QByteArray* out = nullptr) {
    return test::runSlowly(QStringLiteral("swaymsg"), arguments, out);
}

struct Output {
    QString name;
    QRect rect; // points in the layout
    double scale = 1;
};

QList<Output> outputs() {
    QByteArray json;
    swaymsg({QStringLiteral("-r"), QStringLiteral("-t"), QStringLiteral("get_outputs")}, &json);
    QList<Output> all;
    for (const QJsonValue& value : QJsonDocument::fromJson(json).array()) {
        const QJsonObject o = value.toObject();
        const QJsonObject r = o.value(QStringLiteral("rect")).toObject();
        all.append(
            {o.value(QStringLiteral("name")).toString(),
             QRect(r.value(QStringLiteral("x")).toInt(), r.value(QStringLiteral("y")).toInt(),
                   r.value(QStringLiteral("width")).toInt(),
                   r.value(QStringLiteral("height")).toInt()),
             o.value(QStringLiteral("scale")).toDouble(1)});
    }
    return all;
}

struct Window {
    QString output;
    bool fullScreen = false;
};

// kestrova's windows of this title, with the output each is on.
QList<Window> windows(const QString& title) {
    QByteArray json;
    swaymsg({QStringLiteral("-r"), QStringLiteral("-t"), QStringLiteral("get_tree")}, &json);
    QList<Window> found;
    std::function<void(const QJsonObject&, const QString&)> walk = [&](const QJsonObject& node,
                                                                       const QString& output) {
        const QString here =
            node.value(QStringLiteral("type")).toString() == QLatin1String("output")
                ? node.value(QStringLiteral("name")).toString()
                : output;
        if (node.value(QStringLiteral("name")).toString() == title)
            found.append({here, node.value(QStringLiteral("fullscreen_mode")).toInt() > 0});
        for (const char* children : {"nodes", "floating_nodes"}) {
            for (const QJsonValue& child : node.value(QLatin1String(children)).toArray())
                walk(child.toObject(), here);
        }
    };
    walk(QJsonDocument::fromJson(json).object(), QString());
    return found;
}

// Every window's title, for messages.
QStringList windowNames() {
    QByteArray json;
    swaymsg({QStringLiteral("-r"), QStringLiteral("-t"), QStringLiteral("get_tree")}, &json);
    QStringList names;
    std::function<void(const QJsonObject&)> walk = [&](const QJsonObject& node) {
        if (node.value(QStringLiteral("pid")).toInt() > 0)
            names << node.value(QStringLiteral("name")).toString();
        for (const char* children : {"nodes", "floating_nodes"}) {
            for (const QJsonValue& child : node.value(QLatin1String(children)).toArray())
                walk(child.toObject());
        }
    };
    walk(QJsonDocument::fromJson(json).object());
    return names;
}

QImage grim(const QString& output) {
    QByteArray png;
    if (runSlowly(QStringLiteral("grim"), {QStringLiteral("-o"), output, QStringLiteral("-")},
                  &png) != 0)
        return {};
    return test::decode(png).convertToFormat(QImage::Format_RGB32);
}

// What `kestrova ARGUMENTS --output -` writes, decoded.
QImage shot(const QStringList& arguments) {
    QByteArray png;
    if (runSlowly(QString::fromLocal8Bit(qgetenv("KESTROVA")),
                  arguments + QStringList{QStringLiteral("--output"), QStringLiteral("-")},
                  &png) != 0)
        return {};
    return test::decode(png).convertToFormat(QImage::Format_RGB32);
}

} // namespace

class WaylandSessionTest final : public QObject {
    Q_OBJECT
private:
    SeatInput m_input;
    QProcess m_instance;
    QString m_shots;

    static QSize layout() {
        QRect box;
        for (const Output& o : outputs())
            box |= o.rect;
        return {box.right() + 1, box.bottom() + 1};
    }

    // Parks the cursor in the layout's last corner, away from what tests select.
    void parkCursor() {
        const QSize all = layout();
        QVERIFY(m_input.moveTo({all.width() - 1, all.height() - 1}, all));
        QTest::qWait(100);
    }

    // Starts a capture the way a desktop shortcut would.
    void capture() {
        STEP(parkCursor());
        QCOMPARE(
            runSlowly(QString::fromLocal8Bit(qgetenv("KESTROVA")), {QStringLiteral("--capture")}),
            0);
    }

    // Waits until every output shows an overlay window, full screen on its own output.
    void waitForOverlays() {
        const QList<Output> all = outputs();

        QVERIFY2(test::waitUntil(
                     [&] {
                         const QList<Window> shown = windows(QStringLiteral("kestrova selection"));
                         QStringList on;
                         for (const Window& w : shown) {
                             if (w.fullScreen)
                                 on << w.output;
                         }
                         for (const Output& o : all) {
                             if (on.count(o.name) != 1)
                                 return false;
                         }
                         return shown.size() == all.size();
                     },
                     20000),
                 qPrintable(QStringLiteral("windows: %1; kestrova said: %2")
                                .arg(windowNames().join(QStringLiteral(", ")),
                                     QString::fromLocal8Bit(m_instance.readAllStandardError()))));
    }

    void setWallpaper(const Output& output, quint32 seed) {
        const QSize pixels(int(std::lround(output.rect.width() * output.scale)),
                           int(std::lround(output.rect.height() * output.scale)));
        const QString path = QDir::home().filePath(QStringLiteral("wallpaper-%1.png").arg(seed));
        QVERIFY(wallpaper(pixels, seed).save(path));
        QCOMPARE(swaymsg({QStringLiteral("output"), output.name, QStringLiteral("bg"), path,
                          QStringLiteral("stretch")}),
                 0);
        QVERIFY(!settledScreen([&] { return grim(output.name); }, {5, 5}).isNull());
    }

    // Drags out `selection` (points, y down, on `output`), saves it, and checks that the
    // file holds exactly `reference`'s pixels under it.
    void selectAndSave(const Output& output, const QRect& selection, const QImage& reference) {
        const QPoint origin = output.rect.topLeft();
        QVERIFY(m_input.drag(origin + selection.topLeft(),
                             origin + selection.bottomRight() + QPoint(1, 1), layout()));
        QVERIFY(test::waitUntil(
            [] { return windows(QStringLiteral("kestrova editor")).size() == 1; }, 10000));
        QCOMPARE(windows(QStringLiteral("kestrova editor")).constFirst().output, output.name);
        QVERIFY(windows(QStringLiteral("kestrova selection")).isEmpty());
        QTest::qWait(500);
        QVERIFY(m_input.click(origin + toolbarButton(selection, saveButton), layout()));
        const QImage saved = takeScreenshot(m_shots);
        QVERIFY2(!saved.isNull(), "nothing was saved");
        const QRect pixels(int(selection.x() * output.scale), int(selection.y() * output.scale),
                           int(selection.width() * output.scale),
                           int(selection.height() * output.scale));
        QCOMPARE(saved.size(), pixels.size());
        QVERIFY2(saved == reference.copy(pixels), "the saved pixels are not what was on screen");
        QVERIFY(test::waitUntil([] { return windows(QStringLiteral("kestrova editor")).isEmpty(); },
                                5000));
    }

private slots:
    void initTestCase() {
        QVERIFY2(!qgetenv("KESTROVA").isEmpty() && !qgetenv("SEAT_INPUT").isEmpty(),
                 "run this test through wayland_session.sh sway");
        const QString input = m_input.start();
        QVERIFY2(input.isEmpty(), qPrintable(input));

        m_shots = QDir::home().filePath(QStringLiteral("shots"));
        STEP(setWallpaper(outputs().constFirst(), 1));
        const QString failure = startInstance(m_instance, m_shots);
        QVERIFY2(failure.isEmpty(), qPrintable(failure));
    }

    void cleanupTestCase() {
        const QByteArray errors = quitInstance(m_instance);
        QVERIFY2(!errors.contains("runtime error") && !errors.contains("Sanitizer") &&
                     !errors.contains("qt.qpa"),
                 errors.constData());
    }

    void overlayShowsTheDesktopDimmedAndSavesExactlyWhatWasOnScreen() {
        const Output output = outputs().constFirst();
        STEP(parkCursor());
        const QImage before = grim(output.name);
        QVERIFY(!before.isNull());
        STEP(capture());
        STEP(waitForOverlays());
        QVERIFY(
            test::waitUntil([&] { return pixelsNotDimmed(grim(output.name), before) == 0; }, 5000));
        STEP(selectAndSave(output, QRect(100, 100, 400, 300), before));
        // Painted on the processor, with no OpenGL driver loaded for it.
        QFile maps(QStringLiteral("/proc/%1/maps").arg(m_instance.processId()));
        QVERIFY(maps.open(QIODevice::ReadOnly));
        QVERIFY(!maps.readAll().contains("libEGL_mesa"));
    }

    void escapeCancelsWithoutAClickAndTheNextCaptureWorks() {
        for (int round = 0; round < 2; ++round) {
            STEP(capture());
            STEP(waitForOverlays());
            QTest::qWait(300);
            // A keyboard plugged in just now: give clients a moment to take it up.
            QCOMPARE(runSlowly(QStringLiteral("wtype"),
                               {QStringLiteral("-s"), QStringLiteral("500"), QStringLiteral("-k"),
                                QStringLiteral("Escape")}),
                     0);
            QVERIFY(test::waitUntil(
                [] { return windows(QStringLiteral("kestrova selection")).isEmpty(); }, 5000));
            QVERIFY(windows(QStringLiteral("kestrova editor")).isEmpty());
        }
        QVERIFY(QDir(m_shots).entryList(QDir::Files).isEmpty());
    }

    void commandLineScreenshotsAreTheOutputsPixels() {
        const Output output = outputs().constFirst();
        STEP(parkCursor());
        const QImage screen = grim(output.name);
        QCOMPARE(pixelsDiffering(shot({QStringLiteral("--screen"), output.name}), screen), 0);
        QCOMPARE(
            pixelsDiffering(shot({QStringLiteral("--region"), QStringLiteral("100,60,300,200")}),
                            screen.copy(100, 60, 300, 200)),
            0);
        // The clipboard, served after the command has returned.
        QCOMPARE(runSlowly(QString::fromLocal8Bit(qgetenv("KESTROVA")),
                           {QStringLiteral("--region"), QStringLiteral("100,60,30,20"),
                            QStringLiteral("--clipboard")}),
                 0);
        QCOMPARE(pastedImage(), screen.copy(100, 60, 30, 20));

        // Through the desktop's screenshot portal, as on desktops that offer no other
        // way: the same pixels, and the portal's picture file read and removed.
        qputenv("KESTROVA_CAPTURE", "portal");
        const QImage throughPortal = shot({QStringLiteral("--screen"), output.name});
        qunsetenv("KESTROVA_CAPTURE");
        QCOMPARE(pixelsDiffering(throughPortal, screen), 0);
        QVERIFY(!QFile::exists(QStringLiteral("/tmp/out.png")));

        // A turned (and mirrored) output comes out the way it is shown.
        QCOMPARE(swaymsg({QStringLiteral("output"), output.name, QStringLiteral("transform"),
                          QStringLiteral("flipped-90")}),
                 0);
        STEP(parkCursor());
        // Once the wallpaper has been drawn again for the turned output.
        QImage turned;
        QVERIFY(test::waitUntil(
            [&] {
                const QImage now = grim(output.name);
                const bool settled = now.size() == QSize(1080, 1920) && now == turned;
                turned = now;
                return settled;
            },
            5000));
        const QImage turnedShot = shot({QStringLiteral("--screen"), output.name});
        QCOMPARE(swaymsg({QStringLiteral("output"), output.name, QStringLiteral("transform"),
                          QStringLiteral("normal")}),
                 0);
        QCOMPARE(pixelsDiffering(turnedShot, turned), 0);
    }

    void aSecondOutputAtScale2GivesTwiceThePixels() {
        QCOMPARE(swaymsg({QStringLiteral("create_output")}), 0);
        QCOMPARE(swaymsg({QStringLiteral("output"), QStringLiteral("HEADLESS-2"),
                          QStringLiteral("resolution"), QStringLiteral("1920x1080"),
                          QStringLiteral("scale"), QStringLiteral("2"), QStringLiteral("position"),
                          QStringLiteral("1920"), QStringLiteral("0")}),
                 0);
        QVERIFY(test::waitUntil([] { return outputs().size() == 2; }, 5000));
        const Output second = outputs().at(1);
        QCOMPARE(second.scale, 2.0);
        STEP(setWallpaper(second, 2));
        STEP(parkCursor());
        const QImage first = grim(outputs().constFirst().name);
        const QImage before = grim(second.name);
        QCOMPARE(before.size(), QSize(1920, 1080));

        STEP(capture());
        STEP(waitForOverlays());
        QVERIFY(
            test::waitUntil([&] { return pixelsNotDimmed(grim(second.name), before) == 0; }, 5000));
        // The scale-1 output beside it keeps its own pixels.
        QVERIFY(test::waitUntil(
            [&] { return pixelsNotDimmed(grim(outputs().constFirst().name), first) == 0; }, 5000));
        STEP(selectAndSave(second, QRect(100, 100, 300, 200), before));

        // From the command line too: at that output's own scale, exactly (the pointer,
        // which the compositor draws into both pictures, back in its corner).
        STEP(parkCursor());
        QCOMPARE(pixelsDiffering(shot({QStringLiteral("--screen"), second.name}), before), 0);
        QCOMPARE(
            pixelsDiffering(shot({QStringLiteral("--region"), QStringLiteral("1970,40,200,100")}),
                            before.copy(100, 80, 400, 200)),
            0);
    }
};

QTEST_GUILESS_MAIN(WaylandSessionTest)
#include "tst_wayland.moc"
