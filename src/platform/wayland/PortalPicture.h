#pragma once

#include "Expected.h"
#include "PngDecoder.h"
#include "ScreenInfo.h"

#include <QImage>
#include <QString>

#include <vector>

namespace kestrova {

// The picture file a screenshot portal names in its answer. The name comes from
// another process, so it is read with care: never through a link, never blocking on
// something that is not a plain file, and removed only once it has been read as the
// screenshot.
class PortalPicture final {
public:
    // The size of the portal's picture of the whole desktop: it draws it at the largest
    // screen scale.
    static QSize desktopPixels(const std::vector<ScreenInfo>& screens);
    // How much memory decoding may take, in MiB, for that picture.
    static int allocationLimit(const std::vector<ScreenInfo>& screens);

    // Reads and decodes the file, then removes it. The file is kept when it is not a
    // picture, or when the path goes through a link (its removal could reach elsewhere).
    // Blocks on file I/O: run it off the GUI thread.
    // The usual kind of picture is decoded into `ready` when it fits.
    static Expected<QImage> take(const QString& path, int allocationLimitMiB,
                                 PngDecoder::Memory ready = {});
};

} // namespace kestrova
