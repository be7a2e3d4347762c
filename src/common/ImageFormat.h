#pragma once

#include <QLatin1String>
#include <QString>

#include <array>
#include <optional>

namespace kestrova {

// The formats screenshots are saved in: chosen in the settings, used by the writer.
enum class ImageFormat { png, jpg };

inline constexpr std::array<ImageFormat, 2> allImageFormats{ImageFormat::png, ImageFormat::jpg};

inline QString rawValue(ImageFormat format) {
    return format == ImageFormat::jpg ? QStringLiteral("jpg") : QStringLiteral("png");
}

inline QString fileExtension(ImageFormat format) {
    return rawValue(format);
}

inline QString displayName(ImageFormat format) {
    return format == ImageFormat::jpg ? QStringLiteral("JPEG") : QStringLiteral("PNG");
}

// Exactly "png" or "jpg"; anything else is no format.
inline std::optional<ImageFormat> imageFormatFromRaw(const QString& raw) {
    if (raw == QLatin1String("png"))
        return ImageFormat::png;
    if (raw == QLatin1String("jpg"))
        return ImageFormat::jpg;
    return std::nullopt;
}

} // namespace kestrova
