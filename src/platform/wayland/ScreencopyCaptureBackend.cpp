#include "ScreencopyCaptureBackend.h"

#include "ImageBuffer.h"
#include "Prefault.h"

#include <QtConcurrent/QtConcurrentRun>
#include <QTransform>

namespace kestrova {

std::shared_ptr<ScreencopyCaptureBackend>
ScreencopyCaptureBackend::connect(const char* displayName) {
    std::unique_ptr<ScreencopyConnection> connection = ScreencopyConnection::connect(displayName);
    if (!connection)
        return nullptr;
    return std::shared_ptr<ScreencopyCaptureBackend>(
        new ScreencopyCaptureBackend(std::move(connection)));
}

ScreencopyCaptureBackend::ScreencopyCaptureBackend(std::unique_ptr<ScreencopyConnection> connection)
    : m_connection(std::move(connection)) {}

Expected<QImage> ScreencopyCaptureBackend::grab(const QRect&) {
    return Error{QStringLiteral("The compositor copies whole outputs only.")};
}

QFuture<CaptureBackend::Stills>
ScreencopyCaptureBackend::grabStills(const std::vector<ScreenInfo>& screens) {
    // The compositor copies an output within a frame or two, while the GUI thread gets
    // the overlay's windows ready; the backend stays until the copy is in.
    return QtConcurrent::run([self = shared_from_this(), screens]() -> Stills {
        const std::lock_guard lock(self->m_mutex);
        Expected<std::vector<ScreencopyConnection::Frame>> frames =
            self->m_connection->capture(screens);
        if (!frames)
            return frames.error();
        std::vector<QImage> stills;
        stills.reserve(screens.size());
        for (std::size_t i = 0; i < screens.size(); ++i)
            stills.push_back(
                upright(std::move(frames.value()[i]), screens[i].pixelSize(), self->m_stills));
        return stills;
    });
}

QImage ScreencopyCaptureBackend::upright(ScreencopyConnection::Frame frame, QSize pixelSize,
                                         ImageRecycler& memory) {
    const QImage& pixels = frame.pixels;
    if (pixels.isNull())
        return {};
    QImage image;
    if (pixels.format() == QImage::Format_RGB32 && !frame.yInverted) {
        // As it is, where it is: made opaque in place (in a copy if other images share
        // it). The compositor wrote the pages; they are only mapped here, all at once.
        image = std::move(frame.pixels);
        prefault(image.bits(), std::size_t(image.sizeInBytes()));
        ImageBuffer::makeOpaque(image);
    } else if (pixels.format() == QImage::Format_RGB32) {
        // Straight into memory of kestrova's own, opaque and top row first.
        image = memory.make(pixels.size(), QImage::Format_RGB32);
        if (image.isNull())
            return {};
        const int height = pixels.height();
        for (int y = 0; y < height; ++y)
            ImageBuffer::putOpaqueRows(
                image, height - 1 - y,
                reinterpret_cast<const std::uint32_t*>(pixels.constScanLine(y)), 1);
    } else {
        image = pixels.convertToFormat(QImage::Format_RGB32).mirrored(false, frame.yInverted);
    }
    if (frame.transform != 0) {
        // The output's buffer holds the picture as the panel is mounted: the compositor
        // mirrored it (transforms 4 to 7) and turned it a quarter counter-clockwise per
        // step. Undo that.
        QTransform undo;
        if (frame.transform >= 4)
            undo.scale(-1, 1);
        undo.rotate(90.0 * (frame.transform % 4));
        image = image.transformed(undo);
    }
    if (image.size() != pixelSize && !pixelSize.isEmpty())
        image = image.scaled(pixelSize, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    return image;
}

QString ScreencopyCaptureBackend::failureHint() const {
    return QStringLiteral("\n\nkestrova reads the screen straight from the compositor. If "
                          "this goes on, try again after restarting the compositor, or set "
                          "KESTROVA_CAPTURE=portal to take screenshots through the desktop "
                          "portal instead.");
}

void ScreencopyCaptureBackend::releaseCaches() {
    const std::lock_guard lock(m_mutex);
    m_connection->releaseMemory();
    m_stills.clear();
}

} // namespace kestrova
