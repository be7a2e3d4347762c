// The screenshot portal's protocol, against a fake portal on a private bus: what is
// asked, each kind of answer, and the desktop picture cut into the screens' stills.

#include "CaptureError.h"
#include "DesktopLayout.h"
#include "FakePortal.h"
#include "PngDecoder.h"
#include "PortalCaptureBackend.h"
#include "PortalPicture.h"
#include "PortalRequest.h"
#include "TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPainter>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <libdeflate.h>

#include <cstdlib>

#include <sys/stat.h>

using namespace kestrova;

namespace {

struct Outcome {
    bool done = false;
    Expected<std::vector<QImage>> stills;
};

// Asks for stills of `screens` and waits for the answer.
Outcome ask(PortalCaptureBackend& backend, const std::vector<ScreenInfo>& screens,
            int timeoutMs = 5000) {
    const QFuture<CaptureBackend::Stills> answer = backend.grabStills(screens);
    test::waitUntil([&] { return answer.isFinished(); }, timeoutMs);
    Outcome outcome;
    outcome.done = answer.isFinished() && answer.resultCount() == 1; // exactly one answer
    if (outcome.done)
        outcome.stills = answer.result();
    return outcome;
}

void putChunk(QByteArray& png, const char* type, const QByteArray& data) {
    const auto bigEndian = [&png](quint32 v) {
        for (int shift = 24; shift >= 0; shift -= 8)
            png.append(char(v >> shift));
    };
    const QByteArray body = QByteArray(type, 4) + data;
    bigEndian(quint32(data.size()));
    png += body;
    bigEndian(libdeflate_crc32(0, body.constData(), std::size_t(body.size())));
}

// A PNG of 8-bit RGB or RGBA written by hand, row y with filter y % 5 (none, sub, up,
// average, paeth), its data in three IDAT chunks.
QByteArray everyFilterPng(const QImage& image, int channels) {
    const int rowBytes = image.width() * channels;
    std::vector<int> above(static_cast<std::size_t>(rowBytes), 0);
    std::vector<int> row(static_cast<std::size_t>(rowBytes));
    QByteArray raw;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QRgb p = image.pixel(x, y);
            const int values[4] = {qRed(p), qGreen(p), qBlue(p), qAlpha(p)};
            for (int c = 0; c < channels; ++c)
                row[std::size_t(x * channels + c)] = values[c];
        }
        const int filter = y % 5;
        raw.append(char(filter));
        for (int i = 0; i < rowBytes; ++i) {
            const int a = i >= channels ? row[std::size_t(i - channels)] : 0;
            const int b = above[std::size_t(i)];
            const int c = i >= channels ? above[std::size_t(i - channels)] : 0;
            const int pa = std::abs(b - c), pb = std::abs(a - c), pc = std::abs(a + b - 2 * c);
            const int paeth = pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
            const int predicted[5] = {0, a, b, (a + b) / 2, paeth};
            raw.append(char(row[std::size_t(i)] - predicted[filter]));
        }
        above = row;
    }
    libdeflate_compressor* deflater = libdeflate_alloc_compressor(6);
    QByteArray packed(qsizetype(libdeflate_zlib_compress_bound(deflater, std::size_t(raw.size()))),
                      Qt::Uninitialized);
    packed.resize(
        qsizetype(libdeflate_zlib_compress(deflater, raw.constData(), std::size_t(raw.size()),
                                           packed.data(), std::size_t(packed.size()))));
    libdeflate_free_compressor(deflater);

    QByteArray png("\x89PNG\r\n\x1a\n", 8);
    QByteArray header;
    for (const quint32 v : {quint32(image.width()), quint32(image.height())})
        for (int shift = 24; shift >= 0; shift -= 8)
            header.append(char(v >> shift));
    header += QByteArray("\x08", 1) + char(channels == 4 ? 6 : 2) + QByteArray(3, '\0');
    putChunk(png, "IHDR", header);
    const qsizetype third = packed.size() / 3;
    putChunk(png, "IDAT", packed.left(third));
    putChunk(png, "IDAT", packed.mid(third, third));
    putChunk(png, "IDAT", packed.mid(2 * third));
    putChunk(png, "IEND", {});
    return png;
}

const std::vector<ScreenInfo> oneScreen{{QStringLiteral("A"), QRect(0, 0, 64, 40), 1}};

} // namespace

class PortalCaptureTest final : public QObject {
    Q_OBJECT
private:
    std::unique_ptr<test::PrivateBus> m_bus;
    QTemporaryDir m_dir;

    QDBusConnection client(const QString& name) { return m_bus->connect(name); }

    // Writes a picture where a portal would, and returns its URI.
    QString portalFile(const QImage& image, const QString& name) {
        const QString path = m_dir.filePath(name);
        image.save(path, "PNG");
        return QUrl::fromLocalFile(path).toString();
    }

private slots:
    void initTestCase() {
        m_bus = std::make_unique<test::PrivateBus>();
        QVERIFY2(m_bus->isRunning(), "dbus-daemon did not start");
        QVERIFY(m_dir.isValid());
    }

    void successGivesEachScreenItsPartAndRemovesThePortalsFile() {
        test::FakePortal portal(*m_bus, {});
        // Two screens side by side, the second at scale 2 and lower: the portal's
        // picture has the bounding box at the highest density.
        const std::vector<ScreenInfo> screens{{QStringLiteral("L"), QRect(0, 0, 40, 30), 1},
                                              {QStringLiteral("R"), QRect(40, 10, 20, 20), 2}};
        const QImage desktop = test::noise({120, 60}, 7);
        portal.uri = portalFile(desktop, QStringLiteral("out.png"));
        PortalCaptureBackend backend(client(QStringLiteral("c1")));
        // A new account has no pictures folder yet, and some portals cannot write their
        // picture without it: it is there before the portal is asked.
        const QTemporaryDir home;
        const QByteArray savedHome = qgetenv("HOME");
        qputenv("HOME", QFile::encodeName(home.path()));
        const QString pictures = QStandardPaths::writableLocation(QStandardPaths::PicturesLocation);

        const Outcome outcome = ask(backend, screens);
        qputenv("HOME", savedHome);
        QVERIFY(QFileInfo(pictures).isDir());
        QVERIFY(outcome.done);
        QVERIFY2(outcome.stills,
                 outcome.stills ? "" : qPrintable(outcome.stills.error().description));
        const std::vector<QImage>& stills = outcome.stills.value();
        QCOMPARE(stills.size(), 2u);
        // The scale-2 screen is cut without resampling: exactly the portal's pixels.
        QCOMPARE(stills[1].size(), QSize(40, 40));
        QCOMPARE(stills[1], desktop.copy(80, 20, 40, 40).convertToFormat(stills[1].format()));
        // The scale-1 screen was drawn at twice its density and is brought back to its
        // own pixel size.
        QCOMPARE(stills[0].size(), QSize(40, 30));
        const QImage left = desktop.copy(0, 0, 80, 60)
                                .scaled(40, 30, Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
                                .convertToFormat(stills[0].format());
        QCOMPARE(stills[0], left);

        QVERIFY2(!QFile::exists(m_dir.filePath(QStringLiteral("out.png"))),
                 "the portal's picture was left behind");
        QCOMPARE(portal.screenshotOptions.size(), 1);
        QCOMPARE(portal.screenshotOptions[0].value(QStringLiteral("interactive")), QVariant(false));
        QCOMPARE(portal.requestPaths.size(), 1);
    }

    // The desktop takes its picture as the user answers its dialog, sometimes with the
    // dialog still on screen: kestrova asks once more, which no longer asks the user.
    void anAllowGivenJustNowIsFollowedByAPictureWithoutTheDialog() {
        test::FakePortal portal(*m_bus, {});
        const QImage desktop = test::noise({64, 40}, 9);
        portal.uri = portalFile(desktop, QStringLiteral("desktop.png"));
        portal.dialogUri = portalFile(test::noise({64, 40}, 10), QStringLiteral("dialog.png"));
        portal.allowIsStored = true;
        PortalCaptureBackend backend(client(QStringLiteral("c8")));
        for (int capture = 1; capture <= 2; ++capture) {
            const Outcome outcome = ask(backend, oneScreen);
            QVERIFY(outcome.done && outcome.stills);
            QCOMPARE(outcome.stills.value().at(0),
                     desktop.convertToFormat(outcome.stills.value().at(0).format()));
            QVERIFY(!QFile::exists(m_dir.filePath(QStringLiteral("dialog.png"))));
            portal.uri = portalFile(desktop, QStringLiteral("desktop.png"));
        }
        // Once for the dialog's picture and once again; then once a capture.
        QCOMPARE(portal.requestPaths.size(), 3);
    }

    void cancelEndsQuietlyAndFailuresSayWhy_data() {
        QTest::addColumn<uint>("response");
        QTest::addColumn<QStringList>("stored"); // the permission store's entry before
        QTest::addColumn<bool>("denyIsStored");  // "failed" is the user's Deny in a dialog
        QTest::addColumn<bool>("cancelled");
        QTest::addColumn<QString>("hint");
        QTest::newRow("cancelled by the user") << 1u << QStringList() << false << true << QString();
        QTest::newRow("failed") << 2u << QStringList() << false << false
                                << QStringLiteral("refused");
        QTest::newRow("unknown code")
            << 7u << QStringList() << false << false << QStringLiteral("refused");
        QTest::newRow("declined in the desktop's dialog")
            << 2u << QStringList() << true << true << QString();
        QTest::newRow("declined before, and remembered")
            << 2u << QStringList{QStringLiteral("no")} << false << false
            << QStringLiteral("DeletePermission screenshot screenshot");
    }
    void cancelEndsQuietlyAndFailuresSayWhy() {
        QFETCH(uint, response);
        QFETCH(QStringList, stored);
        QFETCH(bool, denyIsStored);
        QFETCH(bool, cancelled);
        QFETCH(QString, hint);
        test::FakePortal portal(*m_bus, {});
        portal.response = response;
        portal.screenshotPermission = stored;
        portal.denyIsStored = denyIsStored;
        PortalCaptureBackend backend(client(QStringLiteral("c2")));
        const Outcome outcome = ask(backend, oneScreen);
        QVERIFY(outcome.done);
        QVERIFY(!outcome.stills);
        QCOMPARE(CaptureError::is(outcome.stills.error(), CaptureError::Kind::cancelled),
                 cancelled);
        if (!cancelled) {
            QVERIFY(!outcome.stills.error().description.isEmpty());
            QVERIFY2(backend.failureHint().contains(hint), qPrintable(backend.failureHint()));
        }
    }

    void whatTheAnswerNamesIsReadWithCareAndKeptUnlessItWasThePicture() {
        test::FakePortal portal(*m_bus, {});
        PortalCaptureBackend backend(client(QStringLiteral("c3")));
        const auto failsAndKeeps = [&](const QString& path) {
            const bool existed = QFileInfo::exists(path);
            portal.uri = QUrl::fromLocalFile(path).toString();
            const Outcome outcome = ask(backend, oneScreen);
            QVERIFY2(outcome.done, qPrintable(path)); // a FIFO blocks nobody
            QVERIFY(!outcome.stills);
            QVERIFY(portal::is(outcome.stills.error(), portal::Failure::unreadable));
            QVERIFY(backend.failureHint().contains(QStringLiteral("could not read")));
            QCOMPARE(QFileInfo::exists(path), existed);
        };
        failsAndKeeps(m_dir.filePath(QStringLiteral("missing.png")));
        QFile document(m_dir.filePath(QStringLiteral("letter.txt")));
        QVERIFY(document.open(QIODevice::WriteOnly) && document.write("Dear portal,") > 0);
        document.close();
        failsAndKeeps(document.fileName());
        const QByteArray fifo = QFile::encodeName(m_dir.filePath(QStringLiteral("pipe.png")));
        QCOMPARE(::mkfifo(fifo.constData(), 0600), 0);
        failsAndKeeps(QString::fromLocal8Bit(fifo));

        // Through a linked folder the picture is read, but nothing is removed there.
        QDir(m_dir.path()).mkdir(QStringLiteral("real"));
        QVERIFY(QFile::link(m_dir.filePath(QStringLiteral("real")),
                            m_dir.filePath(QStringLiteral("link"))));
        portalFile(test::noise({64, 40}, 4), QStringLiteral("real/shot.png"));
        portal.uri =
            QUrl::fromLocalFile(m_dir.filePath(QStringLiteral("link/shot.png"))).toString();
        const Outcome linked = ask(backend, oneScreen);
        QVERIFY(linked.stills);
        QCOMPARE(linked.stills.value().at(0), test::noise({64, 40}, 4));
        QVERIFY(QFileInfo::exists(m_dir.filePath(QStringLiteral("real/shot.png"))));
    }

    void picturesDecodeExactlyWhicheverWayTheyAreRead() {
        const auto write = [this](const QByteArray& bytes, const QString& name) {
            QFile file(m_dir.filePath(name));
            if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
                return QString();
            return file.fileName();
        };
        // Every row filter, with three channels and with four; alpha plays no part in a
        // picture of the screen, however the file sets it.
        QImage source = test::noise({61, 23}, 11).convertToFormat(QImage::Format_ARGB32);
        for (int y = 0; y < source.height(); ++y)
            for (int x = 0; x < source.width(); ++x)
                source.setPixel(x, y, (source.pixel(x, y) & 0xffffffu) | quint32(x * 37 + y) << 24);
        const QImage expected = test::noise({61, 23}, 11);
        for (const int channels : {3, 4}) {
            QByteArray png = everyFilterPng(source, channels);
            const QImage fast = PngDecoder::decode(reinterpret_cast<std::uint8_t*>(png.data()),
                                                   std::size_t(png.size()), 1 << 20);
            QCOMPARE(fast.format(), QImage::Format_RGB32);
            QCOMPARE(fast, expected);
        }
        // What the portal names is read that way (and removed once read).
        const QString path = write(everyFilterPng(source, 4), QStringLiteral("f.png"));
        const Expected<QImage> read = PortalPicture::take(path, 128);
        QVERIFY(read);
        QCOMPARE(read.value(), expected);
        QVERIFY(!QFileInfo::exists(path));

        // Other kinds of PNG are read too, by Qt's decoder.
        const QImage grey = test::noise({40, 30}, 12).convertToFormat(QImage::Format_Grayscale8);
        QVERIFY(grey.save(m_dir.filePath(QStringLiteral("grey.png"))));
        const Expected<QImage> readGrey =
            PortalPicture::take(m_dir.filePath(QStringLiteral("grey.png")), 128);
        QVERIFY(readGrey);
        QCOMPARE(readGrey.value().convertToFormat(QImage::Format_Grayscale8), grey);

        // A damaged picture is an error that says so, and the file stays.
        const QByteArray good = everyFilterPng(source, 3);
        QByteArray flipped = good;
        flipped[good.indexOf("IDAT") + 40] = char(flipped[good.indexOf("IDAT") + 40] ^ 0x10);
        for (const QByteArray& bad : {good.left(good.size() - 30), flipped}) {
            const QString path = write(bad, QStringLiteral("bad.png"));
            const Expected<QImage> read = PortalPicture::take(path, 128);
            QVERIFY(!read);
            QVERIFY(portal::is(read.error(), portal::Failure::unreadable));
            QVERIFY(QFileInfo::exists(path));
        }
    }

    void desktopsLargerThanQtsDefaultLimitAreRead() {
        // Two 6K-wide screens side by side: 139 MB of pixels, over Qt's 128 MiB default.
        const std::vector<ScreenInfo> wide{{QStringLiteral("A"), QRect(0, 0, 6016, 2880), 1},
                                           {QStringLiteral("B"), QRect(6016, 0, 6016, 2880), 1}};
        QImage desktop(12032, 2880, QImage::Format_RGB32);
        desktop.fill(qRgb(20, 90, 160));
        desktop.setPixel(12031, 2879, qRgb(255, 0, 0));
        test::FakePortal portal(*m_bus, {});
        portal.uri = portalFile(desktop, QStringLiteral("wide.png"));
        desktop = QImage();
        PortalCaptureBackend backend(client(QStringLiteral("c7")));
        const Outcome outcome = ask(backend, wide, 30000);
        QVERIFY2(outcome.stills,
                 qPrintable(outcome.stills ? QString() : outcome.stills.error().description));
        QCOMPARE(outcome.stills.value().at(1).pixel(6015, 2879), qRgb(255, 0, 0));
    }

    void aSilentPortalTimesOutAndTheNextRequestWorks() {
        test::FakePortal portal(*m_bus, {});
        const PortalRequest::Timeouts timeouts{std::chrono::milliseconds(400),
                                               std::chrono::milliseconds(1500)};
        PortalCaptureBackend backend(client(QStringLiteral("c4")), timeouts);
        // No reply to the call, then a reply but no answer: each ends with a message.
        portal.replies = false;
        const Outcome unreplied = ask(backend, oneScreen);
        QVERIFY(unreplied.done && !unreplied.stills);
        QVERIFY(portal::is(unreplied.stills.error(), portal::Failure::noAnswer));
        portal.replies = true;
        portal.response = std::nullopt;
        const Outcome first = ask(backend, oneScreen);
        QVERIFY(first.done);
        QVERIFY(!first.stills);
        QVERIFY(portal::is(first.stills.error(), portal::Failure::noAnswer));
        QVERIFY(backend.failureHint().contains(QStringLiteral("did not answer")));

        // Someone reading the desktop's dialog past the call's own limit is waited for.
        portal.response = 0;
        portal.delayMs = 900;
        portal.uri = portalFile(test::noise({64, 40}, 5), QStringLiteral("allowed.png"));
        const Outcome allowed = ask(backend, oneScreen);
        QVERIFY(allowed.stills);
        QCOMPARE(allowed.stills.value().at(0), test::noise({64, 40}, 5));

        // A portal that answers after the wait: the picture it wrote is still removed.
        portal.delayMs = 2500;
        portal.uri = portalFile(test::noise({64, 40}, 1), QStringLiteral("late.png"));
        const Outcome late = ask(backend, oneScreen);
        QVERIFY(late.done && !late.stills);
        QVERIFY2(test::waitUntil(
                     [&] { return !QFile::exists(m_dir.filePath(QStringLiteral("late.png"))); }),
                 "a late answer's picture was left behind");

        portal.delayMs = 0;
        portal.uri = portalFile(test::noise({64, 40}, 2), QStringLiteral("next.png"));
        const Outcome next = ask(backend, oneScreen);
        QVERIFY(next.done);
        QVERIFY(next.stills);
        QCOMPARE(next.stills.value().at(0), test::noise({64, 40}, 2));
    }

    void noPortalOrNoScreenshotServiceSayWhatToInstall() {
        {
            PortalCaptureBackend backend(client(QStringLiteral("c5")));
            const Outcome outcome = ask(backend, oneScreen);
            QVERIFY(outcome.done && !outcome.stills);
            QVERIFY(portal::is(outcome.stills.error(), portal::Failure::noService));
            QVERIFY(backend.failureHint().contains(QStringLiteral("xdg-desktop-portal")));
        }
        test::FakePortal portal(*m_bus, {false, true});
        PortalCaptureBackend backend(client(QStringLiteral("c6")));
        const Outcome outcome = ask(backend, oneScreen);
        QVERIFY(outcome.done && !outcome.stills);
        QVERIFY(portal::is(outcome.stills.error(), portal::Failure::noInterface));
        QVERIFY(backend.failureHint().contains(QStringLiteral("cannot take screenshots")));
    }

    void layoutsWithGapsAndNegativeOriginsCutPerScreen() {
        // Origins left of and above zero, and a gap between screens (mixed scales leave
        // them): each part is found from the bounding box.
        const std::vector<ScreenInfo> screens{{QStringLiteral("A"), QRect(-30, -10, 30, 20), 1},
                                              {QStringLiteral("B"), QRect(10, 0, 20, 10), 1}};
        const QImage desktop = test::noise({60, 20}, 3);
        const std::vector<QImage> parts = DesktopLayout::split(desktop, screens);
        QCOMPARE(parts.size(), 2u);
        QCOMPARE(parts[0], desktop.copy(0, 0, 30, 20));
        QCOMPARE(parts[1], desktop.copy(40, 10, 20, 10));
        // A picture that does not cover the layout's shape leaves the screens without.
        QVERIFY(DesktopLayout::split(QImage(), screens)[0].isNull());
    }
};

QTEST_GUILESS_MAIN(PortalCaptureTest)
#include "tst_portalcapture.moc"
