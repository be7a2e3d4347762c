#include "ScreenCapturer.h"

#include "CaptureError.h"
#include "Settings.h"
#include "TestSupport.h"
#include "Unwritable.h"

#include <QDir>
#include <QFile>
#include <QImageReader>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <vector>

using namespace kestrova;

namespace {

// A capture whose every pixel tells where it is.
QImage pattern(int w, int h) {
    QImage image(w, h, QImage::Format_RGB32);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            image.setPixel(x, y, qRgb(x % 256, y % 256, (x / 256) * 16 + (y / 256)));
    return image;
}

ScreenInfo screen(int w, int h, double scale) {
    return {QStringLiteral("test"), QRect(0, 0, w, h), scale};
}

QStringList savedFiles(const QString& dir) {
    return QDir(dir).entryList(QDir::Files | QDir::Hidden, QDir::Name);
}

} // namespace

class ScreenCapturerTest final : public QObject {
    Q_OBJECT
private:
    QTemporaryDir m_dir;
    int m_n = 0;

    std::unique_ptr<Settings> settingsSavingTo(const QString& folder, ImageFormat format) {
        auto s = std::make_unique<Settings>(m_dir.filePath(QStringLiteral("s%1.conf").arg(++m_n)));
        s->setImageFormat(format);
        QDir().mkpath(folder);
        s->setSaveFolder(folder);
        return s;
    }

private slots:
    void initTestCase() { qputenv("HOME", m_dir.path().toUtf8()); }

    void cropTurnsPointsIntoCaptureRows() {
        const QImage capture = pattern(2880, 1800);
        const auto cut =
            ScreenCapturer::crop(capture, screen(1440, 900, 2), QRectF(100, 200, 300, 150));
        QVERIFY(cut);
        QCOMPARE(cut.value().size(), QSize(600, 300));
        QCOMPARE(cut.value().pixel(0, 0), capture.pixel(200, 1100));
        QCOMPARE(cut.value().pixel(599, 299), capture.pixel(799, 1399));
    }

    void cropAtTheScreenEdges() {
        const QImage capture = pattern(800, 600);
        const ScreenInfo s = screen(800, 600, 1);
        const auto top = ScreenCapturer::crop(capture, s, QRectF(10, 500, 50, 100));
        QVERIFY(top);
        QCOMPARE(top.value().pixel(0, 0), capture.pixel(10, 0)); // top edge → row 0
        const auto bottom = ScreenCapturer::crop(capture, s, QRectF(10, 0, 50, 100));
        QCOMPARE(bottom.value().pixel(0, 99), capture.pixel(10, 599)); // ends at the last row

        const auto partly = ScreenCapturer::crop(capture, s, QRectF(700, -50, 200, 100));
        QVERIFY(partly);
        QCOMPARE(partly.value().size(), QSize(100, 50));
        QCOMPARE(partly.value().pixel(0, 0), capture.pixel(700, 550));

        for (const QRectF& outside :
             {QRectF(900, 100, 50, 50), QRectF(10, -200, 50, 100), QRectF(10, 10, 0, 50)}) {
            const auto none = ScreenCapturer::crop(capture, s, outside);
            QVERIFY(!none);
            QVERIFY(CaptureError::is(none.error(), CaptureError::Kind::cropFailed));
            QCOMPARE(none.error().description,
                     QStringLiteral("Failed to crop the captured image to the selection."));
        }
    }

    void savesPngAndJpegUnderTheTimestampedName() {
        const QString folder = m_dir.filePath(QStringLiteral("out"));
        const QImage image = pattern(320, 200);
        auto png = settingsSavingTo(folder, ImageFormat::png);
        const auto savedPng = ScreenCapturer::save(image, *png);
        QVERIFY2(savedPng, qPrintable(savedPng ? QString() : savedPng.error().description));
        static const QRegularExpression name(
            QStringLiteral("/kestrova_\\d{4}-\\d\\d-\\d\\d_at_\\d\\d\\.\\d\\d\\.\\d\\d\\.png$"));
        QVERIFY2(name.match(savedPng.value()).hasMatch(), qPrintable(savedPng.value()));
        QImageReader pngReader(savedPng.value());
        QCOMPARE(pngReader.format(), QByteArray("png"));
        const QImage decoded = pngReader.read();
        QCOMPARE(decoded.size(), image.size());
        QCOMPARE(decoded.convertToFormat(QImage::Format_RGB32), image);

        auto jpg = settingsSavingTo(folder, ImageFormat::jpg);
        const auto savedJpg = ScreenCapturer::save(image, *jpg);
        QVERIFY(savedJpg.value().endsWith(QStringLiteral(".jpg")));
        QImageReader jpgReader(savedJpg.value());
        QCOMPARE(jpgReader.format(), QByteArray("jpeg"));
        QCOMPARE(jpgReader.read().size(), image.size());
        QCOMPARE(savedFiles(folder).size(), 2); // no temporary files left behind

        // Quality 90: the file's luminance table is the standard one scaled the way the
        // JPEG library scales it for 90 (factor 200 − 2 · 90 = 20 %).
        QFile file(savedJpg.value());
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray bytes = file.readAll();
        const qsizetype dqt = bytes.indexOf(QByteArray("\xff\xdb", 2));
        QVERIFY(dqt > 0 && bytes.size() > dqt + 5 + 64);
        QCOMPARE(bytes[dqt + 4] & 0x0f, 0); // table 0, 8-bit entries
        static const int standard[64] = {
            16, 11, 10, 16, 24,  40,  51,  61,  12, 12, 14, 19, 26,  58,  60,  55,
            14, 13, 16, 24, 40,  57,  69,  56,  14, 17, 22, 29, 51,  87,  80,  62,
            18, 22, 37, 56, 68,  109, 103, 77,  24, 35, 55, 64, 81,  104, 113, 92,
            49, 64, 78, 87, 103, 121, 120, 101, 72, 92, 95, 98, 112, 100, 103, 99};
        std::vector<int> expected, actual;
        for (int i = 0; i < 64; ++i) {
            expected.push_back(std::clamp((standard[i] * 20 + 50) / 100, 1, 255));
            actual.push_back(static_cast<unsigned char>(bytes[dqt + 5 + i])); // zig-zag order
        }
        std::sort(expected.begin(), expected.end());
        std::sort(actual.begin(), actual.end());
        QCOMPARE(actual, expected);
    }

    void sameSecondSavesKeepEveryFile() {
        const QString folder = m_dir.filePath(QStringLiteral("burst"));
        auto s = settingsSavingTo(folder, ImageFormat::png);
        QStringList paths;
        for (int i = 0; i < 4; ++i) {
            QImage image = pattern(40, 30);
            image.setPixel(0, 0, qRgb(i, i, i));
            paths << ScreenCapturer::save(image, *s).value();
        }
        QCOMPARE(QSet<QString>(paths.begin(), paths.end()).size(), 4);
        QCOMPARE(savedFiles(folder).size(), 4);
        for (int i = 0; i < 4; ++i) // each file holds its own image
            QCOMPARE(QImage(paths[i]).pixel(0, 0), qRgb(i, i, i));
        // Within a second the later names carry -2, -3 … before the extension.
        const bool sameSecond =
            QFileInfo(paths[0]).fileName().left(31) == QFileInfo(paths[1]).fileName().left(31);
        if (sameSecond)
            QVERIFY2(paths[1].endsWith(QStringLiteral("-2.png")), qPrintable(paths[1]));
    }

    void missingFolderTreeIsCreated() {
        const QString folder = m_dir.filePath(QStringLiteral("deep"));
        auto s = settingsSavingTo(folder, ImageFormat::png);
        QDir(folder).removeRecursively(); // chosen earlier, gone now: the default applies
        const QString home = m_dir.filePath(QStringLiteral("newhome"));
        qputenv("HOME", home.toUtf8());
        const auto saved = ScreenCapturer::save(pattern(10, 10), *s);
        qputenv("HOME", m_dir.path().toUtf8());
        QVERIFY(saved);
        QCOMPARE(QFileInfo(saved.value()).absolutePath(),
                 home + QStringLiteral("/Pictures/kestrova"));
    }

    void writeFailuresCarryTheSystemsDescriptionAndLeaveNothing() {
        test::UnwritableFolder unwritable;
        auto s = settingsSavingTo(m_dir.filePath(QStringLiteral("x")), ImageFormat::png);
        s->setSaveFolder(unwritable.path());
        const auto denied = ScreenCapturer::save(pattern(10, 10), *s);
        QVERIFY(!denied);
        QVERIFY2(denied.error().description.contains(QStringLiteral("denied")),
                 qPrintable(denied.error().description));
        if (unwritable.isScratch())
            QVERIFY(savedFiles(unwritable.path()).isEmpty());

        // A file standing where the folder (or one of its parents) should be.
        auto fallback = std::make_unique<Settings>(m_dir.filePath(QStringLiteral("fresh.conf")));
        for (const QString& blocker :
             {QStringLiteral("Pictures/kestrova"), QStringLiteral("Pictures")}) {
            const QString home =
                m_dir.filePath(QStringLiteral("blocked-") + QString(blocker).replace(u'/', u'-'));
            QDir().mkpath(QFileInfo(home + u'/' + blocker).absolutePath());
            QVERIFY(QFile(home + u'/' + blocker).open(QIODevice::WriteOnly));
            qputenv("HOME", home.toUtf8());
            const auto blocked = ScreenCapturer::save(pattern(10, 10), *fallback);
            qputenv("HOME", m_dir.path().toUtf8());
            QVERIFY2(!blocked, qPrintable(blocked ? blocked.value() : QString()));
            QVERIFY2(blocked.error().description.contains(QStringLiteral("Not a directory")),
                     qPrintable(blocked.error().description));
        }
    }

    void backgroundSaveUsesTheSettingsOfTheMomentItStarted() {
        qputenv("XDG_CONFIG_HOME", m_dir.filePath(QStringLiteral("config")).toUtf8());
        const QString folder = m_dir.filePath(QStringLiteral("background"));
        QDir().mkpath(folder);
        Settings::shared().setSaveFolder(folder);
        Settings::shared().setImageFormat(ImageFormat::jpg);
        auto future = ScreenCapturer::saveInBackground(pattern(64, 48));
        Settings::shared().setImageFormat(ImageFormat::png); // too late to matter
        future.waitForFinished();
        const Expected<QString> saved = future.result();
        QVERIFY(saved);
        QCOMPARE(QFileInfo(saved.value()).absolutePath(), folder);
        QVERIFY(saved.value().endsWith(QStringLiteral(".jpg")));
        QCOMPARE(QImage(saved.value()).size(), QSize(64, 48));
    }

    void encodingFailsBeforeTheFolderIsLookedAt() {
        auto s = settingsSavingTo(m_dir.filePath(QStringLiteral("never")), ImageFormat::png);
        const auto failed = ScreenCapturer::save(QImage(), *s);
        QVERIFY(!failed);
        QVERIFY(CaptureError::is(failed.error(), CaptureError::Kind::encodeFailed));
        QCOMPARE(failed.error().description,
                 QStringLiteral("Failed to encode the captured image."));
    }

    void captureWithoutADisplayFails() {
        QVERIFY(!ScreenCapturer::backend());
        auto future = ScreenCapturer::captureFullDisplay(nullptr);
        QVERIFY(CaptureError::is(future.result().error(), CaptureError::Kind::noDisplay));
        QCOMPARE(future.result().error().description,
                 QStringLiteral("Could not find the display to capture."));
    }
};

QTEST_MAIN(ScreenCapturerTest)
#include "tst_screencapturer.moc"
