#include "DeflateSplice.h"
#include "PngStream.h"
#include "PngWriter.h"

#include "TestSupport.h"

#include <QBuffer>
#include <QColorSpace>
#include <QImageReader>
#include <QPainter>
#include <QRandomGenerator>
#include <QTest>

#include <libdeflate.h>

using namespace kestrova;

namespace {

QImage noise(int w, int h, QImage::Format format, quint32 seed) {
    QImage image(w, h, format);
    QRandomGenerator random(seed);
    for (int y = 0; y < h; ++y) {
        auto* row = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < w; ++x)
            row[x] = random.generate();
    }
    if (format == QImage::Format_RGB32)
        return image.convertToFormat(QImage::Format_RGB32); // the top byte means nothing
    return image;
}

// Something like a desktop: flat areas, gradients, text and a photo-like patch.
QImage desktopLike(int w, int h) {
    QImage image(w, h, QImage::Format_RGB32);
    QPainter p(&image);
    p.fillRect(image.rect(), QColor(0x2b, 0x2d, 0x31));
    QLinearGradient gradient(0, 0, w, h);
    gradient.setColorAt(0, Qt::darkBlue);
    gradient.setColorAt(1, QColor(250, 200, 120));
    p.fillRect(QRect(w / 2, 0, w / 2, h / 3), gradient);
    p.setPen(Qt::white);
    for (int y = 20; y < h; y += 18)
        p.drawText(10, y, QStringLiteral("int main(int argc, char** argv) { return %1; }").arg(y));
    p.end();
    QImage patch = noise(w / 4, h / 4, QImage::Format_RGB32, 7);
    QPainter(&image).drawImage(w / 2, h / 2, patch);
    return image;
}

QImage decoded(const QByteArray& png) {
    QBuffer buffer;
    buffer.setData(png);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer, "png");
    return test::pixelsOnly(reader.read());
}

} // namespace

class PngWriterTest final : public QObject {
    Q_OBJECT
private slots:
    void roundTripsPixelExactly_data() {
        QTest::addColumn<QImage>("image");
        QTest::newRow("noise") << noise(257, 131, QImage::Format_RGB32, 1);
        QTest::newRow("noise with alpha") << noise(99, 64, QImage::Format_ARGB32, 2);
        QTest::newRow("desktop") << desktopLike(1280, 800);
        QTest::newRow("one pixel") << noise(1, 1, QImage::Format_RGB32, 3);
        QTest::newRow("one column") << noise(1, 300, QImage::Format_RGB32, 4);
        QTest::newRow("one row") << noise(300, 1, QImage::Format_RGB32, 5);
        QTest::newRow("grey") << desktopLike(64, 64).convertToFormat(QImage::Format_Grayscale8);
        QImage premultiplied = noise(80, 60, QImage::Format_ARGB32, 6);
        QTest::newRow("premultiplied")
            << premultiplied.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    }

    void roundTripsPixelExactly() {
        QFETCH(QImage, image);
        const bool alpha = image.hasAlphaChannel();
        const QImage::Format plain = alpha ? QImage::Format_ARGB32 : QImage::Format_RGB32;
        for (const auto filter :
             {PngWriter::Filter::none, PngWriter::Filter::sub, PngWriter::Filter::up,
              PngWriter::Filter::paeth, PngWriter::Filter::adaptive}) {
            // Pieces spliced one after another, on one thread and on several.
            for (const auto& [threads, pieces] : {std::pair{1, 3}, {2, 1}, {3, 5}}) {
                const auto png = PngWriter::encode(image, {2, filter, threads, pieces});
                QVERIFY(png);
                const QImage back = decoded(png.value());
                QCOMPARE(back.size(), image.size());
                QCOMPARE(back.hasAlphaChannel(), alpha);
                QCOMPARE(back.convertToFormat(plain), image.convertToFormat(plain));
                if (alpha)
                    continue;
                // Rows handed over as a display sends them (the top byte anything), in
                // uneven batches, give the very same file.
                const QImage rgb32 = image.convertToFormat(QImage::Format_RGB32);
                std::vector<quint32> rows(std::size_t(rgb32.width()) * std::size_t(rgb32.height()));
                for (int y = 0; y < rgb32.height(); ++y) {
                    const auto* from = reinterpret_cast<const quint32*>(rgb32.constScanLine(y));
                    for (int x = 0; x < rgb32.width(); ++x)
                        rows[std::size_t(y) * std::size_t(rgb32.width()) + std::size_t(x)] =
                            (from[x] & 0xffffffu) | (quint32(x * 7 + y) << 24);
                }
                // Held until finished, or handed over as pieces are done: a piece goes
                // out at the latest when its slot is needed again.
                for (const auto delivery :
                     {PngStream::Delivery::whole, PngStream::Delivery::asDone}) {
                    QByteArray file;
                    PngStream stream(rgb32.size(), PngPieces::appendTo(file), delivery,
                                     {2, filter, threads, pieces});
                    for (int y = 0; y < rgb32.height();) {
                        const int batch = std::min(1 + y % 5, rgb32.height() - y);
                        stream.add(rows.data() + std::size_t(y) * std::size_t(rgb32.width()),
                                   batch);
                        y += batch;
                    }
                    if (delivery == PngStream::Delivery::whole)
                        QVERIFY(file.isEmpty());
                    else if (std::min(pieces, rgb32.height()) > threads + 1)
                        QVERIFY(!file.isEmpty());
                    QVERIFY(!stream.finish());
                    QCOMPARE(file, png.value());
                }
            }
        }
    }

    void splicedStreamsReadAsOne() {
        // Stored blocks (noise), fixed codes (a few bytes), dynamic codes (text), at the
        // fastest and the smallest levels, one after another in every order.
        QByteArray noiseBytes(70000, Qt::Uninitialized);
        QRandomGenerator(9).fillRange(reinterpret_cast<quint32*>(noiseBytes.data()),
                                      noiseBytes.size() / 4);
        QByteArray text;
        for (int i = 0; i < 4000; ++i)
            text += QByteArray::number(i * 7919) + " kestrova ";
        const QList<QByteArray> parts = {noiseBytes, QByteArrayLiteral("ab"), text};
        for (const int level : {1, 12}) {
            libdeflate_compressor* compressor = libdeflate_alloc_compressor(level);
            for (int order = 0; order < 3; ++order) {
                QByteArray whole, joined;
                for (int i = 0; i < 3; ++i) {
                    const QByteArray& part = parts[(i + order) % 3];
                    whole += part;
                    QByteArray out(qsizetype(libdeflate_deflate_compress_bound(
                                                 compressor, std::size_t(part.size())) +
                                             DeflateSplice::growth),
                                   Qt::Uninitialized);
                    auto* bytes = reinterpret_cast<std::uint8_t*>(out.data());
                    std::size_t size = libdeflate_deflate_compress(
                        compressor, part.constData(), std::size_t(part.size()), bytes,
                        std::size_t(out.size()) - DeflateSplice::growth);
                    QVERIFY(size > 0);
                    if (i < 2) {
                        size = DeflateSplice::makeContinuable(bytes, size);
                        QVERIFY(size > 0);
                    }
                    joined += out.left(qsizetype(size));
                }
                QByteArray back(whole.size(), Qt::Uninitialized);
                libdeflate_decompressor* inflater = libdeflate_alloc_decompressor();
                std::size_t read = 0;
                const auto result = libdeflate_deflate_decompress_ex(
                    inflater, joined.constData(), std::size_t(joined.size()), back.data(),
                    std::size_t(back.size()), &read, nullptr);
                libdeflate_free_decompressor(inflater);
                QCOMPARE(result, LIBDEFLATE_SUCCESS);
                QCOMPARE(read, std::size_t(joined.size()));
                QVERIFY(back == whole);
            }
            libdeflate_free_compressor(compressor);
        }
        // A stream cut short, or not deflate at all, is refused and left as it was.
        QByteArray cut = text.left(9);
        QCOMPARE(DeflateSplice::makeContinuable(reinterpret_cast<std::uint8_t*>(cut.data()), 9),
                 std::size_t(0));
        QByteArray reserved("\x07\x00\x00\x00\x00\x00", 6); // block type 3
        QCOMPARE(
            DeflateSplice::makeContinuable(reinterpret_cast<std::uint8_t*>(reserved.data()), 1),
            std::size_t(0));
    }

    void largestSelectionAtScaleTwoRoundTrips() {
        // A whole 2560 × 1440-point screen at scale 2: 59 MB of pixels.
        const QImage image = desktopLike(5120, 2880);
        const auto png = PngWriter::encode(image);
        QVERIFY(png);
        QCOMPARE(decoded(png.value()), image);
    }

    void writesTheResolutionAndNothingMore() {
        QImage image = desktopLike(40, 30);
        image.setDotsPerMeterX(5669);
        const QByteArray png = PngWriter::encode(image).value();
        QVERIFY(png.startsWith("\x89PNG\r\n\x1a\n"));
        QVERIFY(png.endsWith(QByteArray("IEND\xae\x42\x60\x82", 8)));
        // 72 dpi (a pixel per point) whatever the image says, unless asked otherwise.
        QCOMPARE(decoded(png).dotsPerMeterX(), 2835);
        QCOMPARE(decoded(png).dotsPerMeterY(), 2835);
        QCOMPARE(QImage::fromData(png).colorSpace(), QColorSpace(QColorSpace::SRgb));
        PngWriter::Options options;
        options.dotsPerMeter = 5669;
        QCOMPARE(decoded(PngWriter::encode(image, options).value()).dotsPerMeterY(), 5669);
        QVERIFY(!PngWriter::encode(QImage()));
        // A picture whose rows stopped coming, or came too many, is no picture.
        const quint32 rows[8] = {};
        QByteArray file;
        PngStream shortOne(QSize(2, 3), PngPieces::appendTo(file));
        shortOne.add(rows, 2);
        QVERIFY(shortOne.finish());
        PngStream longOne(QSize(2, 3), PngPieces::appendTo(file));
        longOne.add(rows, 4);
        QVERIFY(longOne.finish());
        QVERIFY(file.isEmpty());
        // Once the output refuses a part, nothing more is written and the file failed.
        const QImage tall = noise(64, 256, QImage::Format_RGB32, 8);
        int parts = 0;
        PngStream refused(tall.size(),
                          [&parts](const std::uint8_t*, std::size_t) { return ++parts < 3; },
                          PngStream::Delivery::asDone, {2, PngWriter::Filter::adaptive, 2, 8});
        for (int y = 0; y < tall.height(); ++y)
            refused.add(reinterpret_cast<const quint32*>(tall.constScanLine(y)), 1);
        QVERIFY(refused.finish());
        QCOMPARE(parts, 3);
    }
};

QTEST_MAIN(PngWriterTest)
#include "tst_pngwriter.moc"
