#include "ScreenshotEncoder.h"

#include "CaptureError.h"
#include "PngWriter.h"
#include "ScreenInfo.h"

#include <QBuffer>
#include <QImageWriter>

namespace kestrova {

Expected<QByteArray> ScreenshotEncoder::encode(const QImage& image, ImageFormat format) {
    if (image.isNull())
        return CaptureError::make(CaptureError::Kind::encodeFailed);
    if (format == ImageFormat::png)
        return PngWriter::encode(image);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "jpg");
    writer.setQuality(90);
    // One point per pixel: 72 pixels per inch. Crops already say so; anything else is
    // copied to say it, since changing a shared image copies it anyway.
    QImage out = image;
    if (out.dotsPerMeterX() != screenshotDotsPerMeter ||
        out.dotsPerMeterY() != screenshotDotsPerMeter) {
        out.setDotsPerMeterX(screenshotDotsPerMeter);
        out.setDotsPerMeterY(screenshotDotsPerMeter);
    }
    if (!writer.write(out))
        return CaptureError::make(CaptureError::Kind::encodeFailed);
    return bytes;
}

} // namespace kestrova
