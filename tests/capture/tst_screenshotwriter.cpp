#include "ScreenshotWriter.h"

#include "CaptureError.h"
#include "TestSupport.h"
#include "Unwritable.h"

#include <QDir>
#include <QFile>
#include <QImageReader>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <algorithm>
#include <vector>

#include <csignal>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace kestrova;

namespace {

QStringList savedFiles(const QString& dir) {
    return QDir(dir).entryList(QDir::Files | QDir::Hidden, QDir::Name);
}

} // namespace

class ScreenshotWriterTest final : public QObject {
    Q_OBJECT
private:
    QTemporaryDir m_dir;

    static ScreenshotWriter::Target savingTo(const QString& folder, ImageFormat format) {
        return {format, folder};
    }

private slots:
    void initTestCase() { qputenv("HOME", m_dir.path().toUtf8()); }

    void savesPngAndJpegUnderTheTimestampedName() {
        const QString folder = m_dir.filePath(QStringLiteral("out"));
        const QImage image = test::pattern(320, 200);
        const auto png = savingTo(folder, ImageFormat::png);
        const auto savedPng = ScreenshotWriter::save(image, png);
        QVERIFY2(savedPng, qPrintable(savedPng ? QString() : savedPng.error().description));
        static const QRegularExpression name(
            QStringLiteral("/kestrova_\\d{4}-\\d\\d-\\d\\d_at_\\d\\d\\.\\d\\d\\.\\d\\d\\.png$"));
        QVERIFY2(name.match(savedPng.value()).hasMatch(), qPrintable(savedPng.value()));
        QImageReader pngReader(savedPng.value());
        QCOMPARE(pngReader.format(), QByteArray("png"));
        const QImage decoded = test::pixelsOnly(pngReader.read());
        QCOMPARE(decoded.size(), image.size());
        QCOMPARE(decoded.convertToFormat(QImage::Format_RGB32), image);

        const auto jpg = savingTo(folder, ImageFormat::jpg);
        const auto savedJpg = ScreenshotWriter::save(image, jpg);
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
        const auto s = savingTo(folder, ImageFormat::png);
        QStringList paths;
        for (int i = 0; i < 4; ++i) {
            QImage image = test::pattern(40, 30);
            image.setPixel(0, 0, qRgb(i, i, i));
            paths << ScreenshotWriter::save(image, s).value();
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
        const QString folder = m_dir.filePath(QStringLiteral("deep/er/still"));
        const auto saved =
            ScreenshotWriter::save(test::pattern(10, 10), savingTo(folder, ImageFormat::png));
        QVERIFY(saved);
        QCOMPARE(QFileInfo(saved.value()).absolutePath(), folder);
    }

    void writeFailuresCarryTheSystemsDescriptionAndLeaveNothing() {
        test::UnwritableFolder unwritable;
        for (const auto method :
             {ScreenshotWriter::TemporaryFile::unnamed, ScreenshotWriter::TemporaryFile::named}) {
            const auto denied = ScreenshotWriter::save(
                test::pattern(10, 10), savingTo(unwritable.path(), ImageFormat::png), method);
            QVERIFY(!denied);
            const QString why = denied.error().description;
            QVERIFY2(why.contains(QStringLiteral("denied")) ||
                         why.contains(QStringLiteral("not permitted")),
                     qPrintable(why));
            if (unwritable.isScratch())
                QVERIFY(savedFiles(unwritable.path()).isEmpty());
        }

        // A file standing where the folder (or one of its parents) should be.
        for (const QString& blocker :
             {QStringLiteral("Pictures/kestrova"), QStringLiteral("Pictures")}) {
            const QString home =
                m_dir.filePath(QStringLiteral("blocked-") + QString(blocker).replace(u'/', u'-'));
            QDir().mkpath(QFileInfo(home + u'/' + blocker).absolutePath());
            QVERIFY(QFile(home + u'/' + blocker).open(QIODevice::WriteOnly));
            const auto blocked = ScreenshotWriter::save(
                test::pattern(10, 10),
                savingTo(home + QStringLiteral("/Pictures/kestrova"), ImageFormat::png));
            QVERIFY2(!blocked, qPrintable(blocked ? blocked.value() : QString()));
            QVERIFY2(blocked.error().description.contains(QStringLiteral("Not a directory")),
                     qPrintable(blocked.error().description));
        }
    }

    void bothWaysOfWritingGiveOrdinaryFilesAndLeaveNothingElse() {
        const mode_t saved = ::umask(027);
        const QString folder = m_dir.filePath(QStringLiteral("modes"));
        QStringList paths;
        for (const auto method :
             {ScreenshotWriter::TemporaryFile::unnamed, ScreenshotWriter::TemporaryFile::named})
            paths << ScreenshotWriter::save(test::pattern(30, 20),
                                            savingTo(folder, ImageFormat::png), method)
                         .value();
        ::umask(saved);
        for (const QString& path : paths) {
            struct stat info {};
            QCOMPARE(::stat(QFile::encodeName(path).constData(), &info), 0);
            QCOMPARE(info.st_mode & 0777, 0640u); // 0666 less the umask: not private
            QCOMPARE(test::read(path).convertToFormat(QImage::Format_RGB32), test::pattern(30, 20));
        }
        QCOMPARE(savedFiles(folder).size(), 2);
    }

    void killedWhileSavingLeavesNoStrayOrBrokenFile() {
        const QString folder = m_dir.filePath(QStringLiteral("killed"));
        QDir().mkpath(folder);
        const QImage big = test::pattern(5120, 2880); // a whole 5K screen at scale 2
        for (const int afterMs : {5, 40, 120, 250, 400}) {
            const pid_t child = ::fork();
            QVERIFY(child >= 0);
            if (child == 0) {
                for (;;)
                    (void)ScreenshotWriter::save(big, savingTo(folder, ImageFormat::png));
            }
            QThread::msleep(static_cast<unsigned long>(afterMs));
            ::kill(child, SIGKILL);
            ::waitpid(child, nullptr, 0);
        }
        // Only complete screenshots, each the whole image; no temporary files at all.
        for (const QString& name : savedFiles(folder)) {
            QVERIFY2(name.startsWith(QStringLiteral("kestrova_")) &&
                         name.endsWith(QStringLiteral(".png")),
                     qPrintable(name));
            QImageReader reader(folder + u'/' + name);
            const QImage image = reader.read();
            QVERIFY2(!image.isNull(), qPrintable(name + u' ' + reader.errorString()));
            QCOMPARE(image.size(), big.size());
        }
    }

    void backgroundSavesRenderAfterTheCallerHasGone() {
        const QString folder = m_dir.filePath(QStringLiteral("background"));
        std::optional<QFuture<Expected<QString>>> future;
        {
            ScreenshotWriter writer;
            QImage source = test::pattern(64, 48);
            future = writer.save([source] { return std::optional<QImage>(source); },
                                 savingTo(folder, ImageFormat::jpg));
            source = QImage(); // the caller's copy is gone; the job kept its own
        }                      // the writer waits for its saves before it goes
        QVERIFY(future->isFinished());
        const Expected<QString> saved = future->result();
        QVERIFY(saved);
        QCOMPARE(QFileInfo(saved.value()).absolutePath(), folder);
        QVERIFY(saved.value().endsWith(QStringLiteral(".jpg")));
        QCOMPARE(QImage(saved.value()).size(), QSize(64, 48));

        // Nothing to render (the selection left the capture): an error, and no file.
        ScreenshotWriter writer;
        auto nothing =
            writer.save([] { return std::optional<QImage>(); }, savingTo(folder, ImageFormat::png));
        nothing.waitForFinished();
        QVERIFY(!nothing.result());
        QCOMPARE(savedFiles(folder).size(), 1);
    }

    void encodingFailsBeforeTheFolderIsLookedAt() {
        const auto failed = ScreenshotWriter::save(
            QImage(), savingTo(m_dir.filePath(QStringLiteral("never")), ImageFormat::png));
        QVERIFY(!failed);
        QVERIFY(CaptureError::is(failed.error(), CaptureError::Kind::encodeFailed));
        QCOMPARE(failed.error().description,
                 QStringLiteral("Failed to encode the captured image."));
        QVERIFY(!QFileInfo::exists(m_dir.filePath(QStringLiteral("never"))));
    }
};

QTEST_MAIN(ScreenshotWriterTest)
#include "tst_screenshotwriter.moc"
