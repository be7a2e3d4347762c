#include "CanvasRenderer.h"

#include "CaptureService.h"
#include "EditorCanvas.h"
#include "ImageBuffer.h"
#include "ModelGeometry.h"
#include "SizeLabel.h"
#include "VeilPainter.h"

#include <QPainter>

#include <cmath>

namespace kestrova {

CanvasRenderer::CanvasRenderer(QImage capture, ScreenInfo screen)
    : m_capture(std::move(capture)), m_screen(std::move(screen)) {
    if (m_capture.format() != QImage::Format_RGB32 &&
        m_capture.format() != QImage::Format_ARGB32_Premultiplied)
        m_capture.convertTo(QImage::Format_RGB32);
    if (m_capture.devicePixelRatio() != 1)
        m_capture.setDevicePixelRatio(1);
    // The overlay's veil, made the way the overlay makes it: in one pass where it can.
    m_dimmed = ImageBuffer::make(m_capture.size(), m_capture.format());
    if (m_dimmed.isNull())
        return;
    QPainter painter(&m_dimmed);
    const QRect all = m_dimmed.rect();
    if (!VeilPainter::paint(painter, all, m_capture, QRectF(all))) {
        painter.setCompositionMode(QPainter::CompositionMode_Source);
        painter.drawImage(0, 0, m_capture);
        painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
        painter.fillRect(all, VeilPainter::color());
    }
}

QRectF CanvasRenderer::sourceRect(const QRectF& r) const {
    const double sx = m_capture.width() / std::max(1.0, double(m_screen.geometry.width()));
    const double sy = m_capture.height() / std::max(1.0, double(m_screen.geometry.height()));
    return {r.x() * sx, r.y() * sy, r.width() * sx, r.height() * sy};
}

QRectF CanvasRenderer::pixelAligned(const QRectF& r) const {
    // Whole device pixels, so that the capture is copied, never resampled.
    const double s = m_screen.scale;
    const double left = std::round(r.left() * s) / s, top = std::round(r.top() * s) / s;
    const double right = std::round(r.right() * s) / s, bottom = std::round(r.bottom() * s) / s;
    return QRectF(QPointF(left, top), QPointF(right, bottom));
}

void CanvasRenderer::paint(QPainter& painter, const EditorCanvas& canvas,
                           const QRectF& dirty) const {
    const double height = canvas.bounds().height();
    const QRectF selection = canvas.selectionRect();
    const QRectF selectionOnScreen = geometry::toWidget(selection, height);

    // Capture and dimming: the dimmed copy everywhere, the capture itself in the selection.
    const QRectF area = pixelAligned(dirty);
    painter.drawImage(area, m_dimmed, sourceRect(area));
    const QRectF clear = pixelAligned(selectionOnScreen).intersected(area);
    if (!clear.isEmpty())
        painter.drawImage(clear, m_capture, sourceRect(clear));

    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setClipRect(selectionOnScreen, Qt::IntersectClip);
    painter.setWorldTransform(geometry::flip(height), true);
    const QRectF visible = QRectF(geometry::toWidget(dirty, height)).intersected(selection);
    drawAnnotations(painter, canvas.annotations(), visible);
    painter.restore();

    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setBrush(Qt::NoBrush);
    painter.setPen(QPen(QColor::fromRgbF(1, 1, 1, 0.95f), 1));
    painter.drawRect(selectionOnScreen);
    const QPen handleOutline(QColor::fromRgbF(0.3f, 0.3f, 0.3f, 1), 1);
    for (const QPointF& h : EditorCanvas::handlePositions(selection)) {
        const QPointF at = geometry::toWidget(h, height);
        const QRectF square(at.x() - 4, at.y() - 4, 8, 8);
        painter.fillRect(square, Qt::white);
        painter.setPen(handleOutline);
        painter.drawRect(square);
    }
    painter.restore();

    SizeLabel::paint(painter, selection, m_screen.scale, height);
}

void CanvasRenderer::drawAnnotations(
    QPainter& painter, const std::vector<std::shared_ptr<const Annotation>>& annotations,
    const QRectF& visible) {
    for (const auto& annotation : annotations) {
        // Marks wholly outside what is being painted cannot change a pixel there.
        if (annotation->bounds().intersects(visible))
            annotation->draw(painter);
    }
}

std::optional<QImage> CanvasRenderer::flatten(const EditorCanvas& canvas) const {
    return flatten(m_capture, m_screen, canvas.selectionRect(), canvas.annotations());
}

std::optional<QImage>
CanvasRenderer::flatten(const QImage& capture, const ScreenInfo& screen, const QRectF& selection,
                        const std::vector<std::shared_ptr<const Annotation>>& annotations) {
    Expected<QImage> cropped = CaptureService::crop(capture, screen, selection);
    if (!cropped)
        return std::nullopt;
    // The crop is a fresh copy of its own: the annotations are painted straight into it
    // (moved, so that painting does not copy 60 MB again).
    QImage out = std::move(cropped.value());
    if (out.format() != QImage::Format_RGB32 && out.format() != QImage::Format_ARGB32_Premultiplied)
        out.convertTo(QImage::Format_RGB32);
    const QImage& crop = out;

    QPainter painter(&out);
    painter.setRenderHint(QPainter::Antialiasing);
    // Points map onto the crop's pixels; y-up model space onto its rows.
    painter.scale(crop.width() / selection.width(), crop.height() / selection.height());
    painter.translate(0, selection.height());
    painter.scale(1, -1);
    painter.translate(-selection.x(), -selection.y());
    painter.setClipRect(selection);
    drawAnnotations(painter, annotations, selection);
    painter.end();
    return out;
}

} // namespace kestrova
