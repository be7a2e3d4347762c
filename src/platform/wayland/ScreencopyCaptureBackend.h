#pragma once

#include "CaptureBackend.h"
#include "ImageRecycler.h"
#include "ScreencopyConnection.h"

#include <memory>
#include <mutex>

namespace kestrova {

// Reads the screens of a wlroots compositor (sway and its kin) straight from the
// compositor: each output at its own scale, exactly, with no picture file, no dialog
// and no portal in between. Other Wayland desktops are served by the portal.
class ScreencopyCaptureBackend final
    : public CaptureBackend,
      public std::enable_shared_from_this<ScreencopyCaptureBackend> {
public:
    // Null when the compositor offers no way to copy its outputs.
    static std::shared_ptr<ScreencopyCaptureBackend> connect(const char* displayName = nullptr);
    ScreencopyCaptureBackend(const ScreencopyCaptureBackend&) = delete;
    ScreencopyCaptureBackend& operator=(const ScreencopyCaptureBackend&) = delete;

    // Whole outputs only: everything comes from the stills taken when a capture starts.
    Expected<QImage> grab(const QRect& nativeRect) override;
    QFuture<Stills> grabStills(const std::vector<ScreenInfo>& screens) override;
    bool isCompositing() const override { return false; }
    QString failureHint() const override;
    bool settingsCanHelp() const override { return false; }
    void releaseCaches() override;

    // A frame turned the way the screen shows it, opaque, at `pixelSize` (the
    // screen's size in device pixels, which a fractional scale can make differ from
    // the output's own). A frame already upright and in Qt's layout becomes the still
    // itself, in the memory it came in.
    static QImage upright(ScreencopyConnection::Frame frame, QSize pixelSize,
                          ImageRecycler& memory);

private:
    explicit ScreencopyCaptureBackend(std::unique_ptr<ScreencopyConnection> connection);

    std::mutex m_mutex;
    std::unique_ptr<ScreencopyConnection> m_connection;
    // The last captures' memory, for the next capture until kestrova falls idle.
    ImageRecycler m_stills;
};

} // namespace kestrova
