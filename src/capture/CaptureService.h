#pragma once

#include "CaptureBackend.h"
#include "Expected.h"
#include "ScreenInfo.h"

#include <QFuture>
#include <QImage>
#include <QRectF>
#include <QString>

#include <map>
#include <memory>

class QScreen;

namespace kestrova {

// Where screen pixels come from: the display server's backend, and the still images
// the overlay showed while no compositor runs. The application owns one and hands it
// to whoever captures.
class CaptureService final {
public:
    explicit CaptureService(std::shared_ptr<CaptureBackend> backend = nullptr);

    // Without a backend every capture fails with noDisplay.
    void setBackend(std::shared_ptr<CaptureBackend> backend);
    const std::shared_ptr<CaptureBackend>& backend() const { return m_backend; }

    // The whole display at its pixel size. Runs off the main thread; the result is
    // delivered through the future. Uses the still image taken for the overlay when
    // there is one for this screen.
    QFuture<Expected<QImage>> captureFullDisplay(QScreen* screen);

    // Still images shown by the overlay while no compositor runs.
    void freeze(const QScreen* screen, const QImage& image);
    void thaw();

    // Cuts a rectangle in the screen's y-up points out of a capture of that screen.
    static Expected<QImage> crop(const QImage& capture, const ScreenInfo& screen,
                                 const QRectF& localRect);

private:
    std::shared_ptr<CaptureBackend> m_backend;
    // By screen: names can be empty or repeated. Cleared when a capture ends, so an
    // unplugged screen's address never outlives its use here.
    std::map<const QScreen*, QImage> m_frozen;
};

} // namespace kestrova
