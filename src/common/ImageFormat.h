#pragma once

#include <QString>

#include <array>
#include <optional>

namespace kestrova {

enum class ImageFormat { png, jpg };

inline constexpr std::array<ImageFormat, 2> allImageFormats{ImageFormat::png, ImageFormat::jpg};

QString rawValue(ImageFormat format);
QString fileExtension(ImageFormat format);
QString displayName(ImageFormat format);
// Exactly "png" or "jpg"; anything else is no format.
std::optional<ImageFormat> imageFormatFromRaw(const QString& raw);

} // namespace kestrova
