#pragma once

#include "Annotation.h"
#include "ScreenInfo.h"

#include <QImage>
#include <QRectF>

#include <memory>
#include <optional>
#include <vector>

class QPainter;

namespace kestrova {

class EditorCanvas;

// Turns the canvas state into pixels: the editor on screen (capture, dimmed surround,
// annotations, frame, handles, size label) and the final image at the capture's full
// resolution. Both paint annotations with the same draw().
class CanvasRenderer final {
public:
    CanvasRenderer(QImage capture, ScreenInfo screen);

    const QImage& capture() const { return m_capture; }
    const ScreenInfo& screen() const { return m_screen; }

    // Paints the part of the editor inside `dirty` (widget coordinates: points, y down)
    // into a painter whose device has the screen's pixel ratio.
    void paint(QPainter& painter, const EditorCanvas& canvas, const QRectF& dirty) const;

    // The selection cropped from the capture with the annotations drawn in, at the
    // crop's pixel size; nothing when the selection does not meet the capture. The
    // static form needs no renderer and runs on any thread.
    std::optional<QImage> flatten(const EditorCanvas& canvas) const;
    static std::optional<QImage>
    flatten(const QImage& capture, const ScreenInfo& screen, const QRectF& selection,
            const std::vector<std::shared_ptr<const Annotation>>& annotations);

    static void drawAnnotations(QPainter& painter,
                                const std::vector<std::shared_ptr<const Annotation>>& annotations,
                                const QRectF& visible);

private:
    QRectF sourceRect(const QRectF& widgetRect) const;
    QRectF pixelAligned(const QRectF& widgetRect) const;

    QImage m_capture;
    QImage m_dimmed; // the capture under the 35 % dimming, made once
    ScreenInfo m_screen;
};

} // namespace kestrova
