#include "ImageFormat.h"

namespace kestrova {

QString rawValue(ImageFormat format) {
    return format == ImageFormat::jpg ? QStringLiteral("jpg") : QStringLiteral("png");
}

QString fileExtension(ImageFormat format) {
    return rawValue(format);
}

QString displayName(ImageFormat format) {
    return format == ImageFormat::jpg ? QStringLiteral("JPEG") : QStringLiteral("PNG");
}

std::optional<ImageFormat> imageFormatFromRaw(const QString& raw) {
    if (raw == QLatin1String("png"))
        return ImageFormat::png;
    if (raw == QLatin1String("jpg"))
        return ImageFormat::jpg;
    return std::nullopt;
}

} // namespace kestrova
