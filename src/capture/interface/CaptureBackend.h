#pragma once

#include "Expected.h"
#include "ScreenInfo.h"

#include <QFuture>
#include <QImage>
#include <QRect>
#include <QRegion>
#include <QString>
#include <QUrl>
#include <qwindowdefs.h>

#include <cstdint>
#include <functional>
#include <vector>

namespace kestrova {

// The display server's screen-reading service.
class CaptureBackend {
public:
    virtual ~CaptureBackend() = default;

    // Reads the pixels of an area of the display, in device pixels, without the
    // pointer. Called off the main thread: implementations must be thread-safe.
    virtual Expected<QImage> grab(const QRect& nativeRect) = 0;
    // The same for a process that captures once and ends: nothing is prepared or kept
    // for a next capture, which would only cost time now.
    virtual Expected<QImage> grabOnce(const QRect& nativeRect) { return grab(nativeRect); }
    // The same for a process that encodes the pixels as they come: each batch of rows,
    // top first, goes to `sink` as packed 32-bit pixels whose top byte means nothing,
    // and need not outlive the call. Where the display can, no picture of the whole
    // area is ever made. Returns the error that stopped the reading, if any.
    using RowSink = std::function<void(const std::uint32_t* rows, int count)>;
    virtual Status streamOnce(const QRect& nativeRect, const RowSink& sink);

    // Still images of these screens as they are now, each in its screen's device
    // pixels and in the same order, for an overlay that cannot show the live screen.
    // The future has one result, possibly finished when this returns; a backend that
    // asks the user (a desktop portal) finishes it from the main thread's event loop,
    // and one that goes away first cancels it. A screen that could not be read gets a
    // null image. A user who declined to share the screen is the error
    // CaptureError::Kind::cancelled. The default reads each screen with grab().
    using Stills = Expected<std::vector<QImage>>;
    virtual QFuture<Stills> grabStills(const std::vector<ScreenInfo>& screens);

    // Whether translucent windows show what lies beneath them. Without that the
    // selection overlay shows a still image of each screen instead.
    virtual bool isCompositing() const = 0;

    // The sentence added to the capture-failure alert, true for this system, and where
    // its "Open Settings" button leads (empty: kestrova's own settings). Without any
    // settings that could help, the alert has no such button.
    virtual QString failureHint() const = 0;
    virtual QUrl settingsUrl() const { return {}; }
    virtual bool settingsCanHelp() const { return true; }

    // Readies, once at start, what every capture of a long-running kestrova uses, so
    // that no capture waits for it.
    virtual void prepare() {}
    // Gives back memory kept to make the next capture faster (the application is idle).
    virtual void releaseCaches() {}

    // Whether paintWindow() can write into this display's windows. A full-screen window
    // painted that way needs no screen-sized drawing memory of its own, whose pages the
    // system would have to supply afresh before the window first shows.
    virtual bool paintsWindows() const { return false; }
    // Paints `area` (device pixels) of the native `window`, band by band: `render` draws
    // each band, whose place in the window it is given. Called on the main thread.
    // Returns false when the window cannot be painted this way; the caller must then
    // paint it as usual.
    using BandRender = std::function<void(QImage& band, const QRect& area)>;
    virtual bool paintWindow(WId window, const QRegion& area, const BandRender& render);

protected:
    CaptureBackend() = default;
};

} // namespace kestrova
