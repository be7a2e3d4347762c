#pragma once

#include "CaptureBackend.h"
#include "Error.h"
#include "KeyableWindow.h"
#include "SelectionResult.h"

#include <QImage>
#include <QList>
#include <QObject>
#include <QPointer>

#include <functional>
#include <optional>
#include <vector>

class QScreen;

namespace kestrova {

class CaptureService;
class OverlayWindowPool;

// One selection: an overlay on every screen until the user drags out a region or
// cancels. The completion runs exactly once, after the overlay has gone.
class SelectionOverlayController final : public QObject {
    Q_OBJECT
public:
    using Completion = std::function<void(std::optional<SelectionResult>)>;

    // Takes still images from `capture` while no compositor runs; it must outlive this.
    // With `windows`, the overlay windows come from there and go back there when the
    // selection ends; without, they are made for this selection and closed after it.
    explicit SelectionOverlayController(CaptureService& capture, QObject* parent = nullptr,
                                        OverlayWindowPool* windows = nullptr);
    ~SelectionOverlayController() override;

    void begin(Completion completion);

    // The overlay windows while selecting, in screen order (for tests).
    std::vector<KeyableWindow*> windows() const;

signals:
    // Reported before the completion when the screen could not be read at all (the
    // completion then reports nothing). A user who declined to share it is no failure.
    void onCaptureFailed(const kestrova::Error& error);

private:
    void stillsTaken(const QList<QPointer<QScreen>>& asked,
                     const QFuture<CaptureBackend::Stills>& stills);
    void readyWindows(const QList<QScreen*>& screens, const CaptureBackend& backend);
    void present(const QList<QScreen*>& screens, const std::vector<QImage>& stills);
    void finish(QScreen* screen, std::optional<QRectF> rect);

    CaptureService& m_capture;
    OverlayWindowPool* m_pool;
    std::vector<QPointer<KeyableWindow>> m_windows;
    Completion m_completion;
    bool m_finished = false;
};

} // namespace kestrova
