#pragma once

#include "CaptureBackend.h"
#include "ImageRecycler.h"
#include "X11ScreenReader.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace kestrova {

// Reads screen pixels straight from the X server, through shared memory where the
// server offers it (several times faster than a plain get-image on 4K screens), and
// writes the overlay's pixels straight into its windows the same way.
class X11CaptureBackend final : public CaptureBackend {
public:
    // A connection of its own, so captures can run on any thread. Fails when no X
    // server can be reached.
    static std::shared_ptr<X11CaptureBackend> connect();
    ~X11CaptureBackend() override;
    X11CaptureBackend(const X11CaptureBackend&) = delete;
    X11CaptureBackend& operator=(const X11CaptureBackend&) = delete;

    Expected<QImage> grab(const QRect& nativeRect) override;
    Expected<QImage> grabOnce(const QRect& nativeRect) override;
    bool isCompositing() const override;
    QString failureHint() const override;
    void prepare() override;
    void releaseCaches() override;
    Status streamOnce(const QRect& nativeRect, const RowSink& sink) override;
    bool paintsWindows() const override;
    bool paintWindow(WId window, const QRegion& area, const BandRender& render) override;
    // Whether captures go through shared memory: the server has it and can reach ours.
    bool sharesMemory() const;

private:
    explicit X11CaptureBackend(std::unique_ptr<X11ScreenReader> reader);
    Expected<QImage> grabInto(const QRect& nativeRect,
                              const std::function<QImage(QSize, QImage::Format)>& make);

    mutable std::mutex m_mutex;
    std::unique_ptr<X11ScreenReader> m_reader;
    std::uint32_t m_gc = 0;
    std::uint32_t m_rootDepthWindow = 0; // the last window found to have the root's depth
    // The last captures' memory, for the next capture until kestrova falls idle.
    ImageRecycler m_stills;
};

} // namespace kestrova
