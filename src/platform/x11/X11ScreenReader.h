#pragma once

#include "CaptureBackend.h"

#include <cstdint>
#include <memory>

struct xcb_connection_t;
struct xcb_screen_t;

namespace kestrova {

// Reads areas of an X server's root window as rows of 32-bit pixels, through a small
// shared memory segment where the server offers it (several times faster than plain
// get-image requests on 4K screens). Not thread-safe: its owner serialises the calls.
class X11ScreenReader final {
public:
    // The small segment screens pass through, kept for good.
    struct Segment {
        std::uint32_t xid = 0;
        void* address = nullptr;
        std::size_t size = 0;
        ~Segment();
    };

    // A connection of its own. Fails when no X server can be reached.
    static std::unique_ptr<X11ScreenReader> connect();
    ~X11ScreenReader();
    X11ScreenReader(const X11ScreenReader&) = delete;
    X11ScreenReader& operator=(const X11ScreenReader&) = delete;

    xcb_connection_t* connection() const { return m_connection; }
    int screenNumber() const { return m_screenNumber; }
    // The X screen read from; null when the connection is gone.
    const xcb_screen_t* screen() const;
    // Whether the root's pixels are 32-bit true colour, the only kind read.
    bool rootIsRgb32() const;

    // The segment, made at the first call; null when the server cannot share memory
    // with this process (forwarded, nested or remote displays).
    Segment* sharedSegment();
    bool sharesMemory() const { return m_hasShm; }

    // The area itself when it lies on the root window and can be read, else why not.
    Expected<QRect> checkArea(const QRect& nativeRect) const;
    // Hands the area's rows to `sink`, top first, in strips. Returns what stopped it.
    [[nodiscard]] Status read(const QRect& nativeRect, const CaptureBackend::RowSink& sink);
    // The same through the segment, or without it; the area must have been checked.
    [[nodiscard]] Status readInStrips(const Segment& segment, const QRect& area,
                                      const CaptureBackend::RowSink& sink);
    [[nodiscard]] Status readPlain(const QRect& area, const CaptureBackend::RowSink& sink);

    static Error xError(const char* what, int code);
    // The sentence a failure to read the screen is followed by.
    static QString failureHint();

private:
    X11ScreenReader(xcb_connection_t* connection, int screenNumber);

    xcb_connection_t* m_connection;
    int m_screenNumber;
    bool m_hasShm = false;
    std::unique_ptr<Segment> m_segment;
};

} // namespace kestrova
