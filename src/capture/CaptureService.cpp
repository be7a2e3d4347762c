#include "CaptureService.h"

#include "CaptureError.h"
#include "ImageBuffer.h"
#include "ModelGeometry.h"

#include <QGuiApplication>
#include <QScreen>
#include <QtConcurrent/QtConcurrentRun>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <thread>

namespace kestrova {

CaptureService::CaptureService(std::shared_ptr<CaptureBackend> backend)
    : m_backend(std::move(backend)) {}

void CaptureService::setBackend(std::shared_ptr<CaptureBackend> backend) {
    m_backend = std::move(backend);
}

void CaptureService::freeze(const QScreen* screen, const QImage& image) {
    if (screen && !image.isNull())
        m_frozen[screen] = image;
}

void CaptureService::thaw() {
    m_frozen.clear();
}

QFuture<Expected<QImage>> CaptureService::captureFullDisplay(QScreen* screen) {
    if (!screen || !QGuiApplication::screens().contains(screen))
        return QtFuture::makeReadyFuture(
            Expected<QImage>(CaptureError::make(CaptureError::Kind::noDisplay)));

    const ScreenInfo info = ScreenInfo::of(screen);
    if (const auto it = m_frozen.find(screen); it != m_frozen.end()) {
        // The user chose on a still image of the screen: that image is the capture.
        Expected<QImage> still(it->second);
        m_frozen.clear();
        return QtFuture::makeReadyFuture(std::move(still));
    }
    m_frozen.clear();

    if (!m_backend)
        return QtFuture::makeReadyFuture(
            Expected<QImage>(CaptureError::make(CaptureError::Kind::noDisplay)));

    const QRect nativeRect = info.nativeRect();
    return QtConcurrent::run([backend = m_backend, nativeRect]() -> Expected<QImage> {
        // Let the overlay windows leave the screen before it is read; no event tells
        // when a compositor has taken them off, so this pause is the one guess kept.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        return backend->grab(nativeRect);
    });
}

Expected<QImage> CaptureService::crop(const QImage& capture, const ScreenInfo& screen,
                                      const QRectF& localRect) {
    const QRect wanted = screen.pixelRect(localRect);
    const QRect cut = wanted.intersected(capture.rect());
    if (wanted.isEmpty() || cut.isEmpty())
        return CaptureError::make(CaptureError::Kind::cropFailed);
    QImage out = ImageBuffer::copy(capture, cut);
    if (out.isNull())
        return CaptureError::make(CaptureError::Kind::cropFailed);
    out.setDotsPerMeterX(screenshotDotsPerMeter);
    out.setDotsPerMeterY(screenshotDotsPerMeter);
    return out;
}

} // namespace kestrova
