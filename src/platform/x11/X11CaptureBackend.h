#pragma once

#include "CaptureBackend.h"

#include <memory>
#include <mutex>
#include <vector>

struct xcb_connection_t;

namespace kestrova {

// Reads screen pixels straight from the X server, through shared memory where the
// server offers it (several times faster than a plain get-image on 4K screens).
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
    void releaseCaches() override;
    // Whether captures go through shared memory: the server has it and can reach ours.
    bool sharesMemory() const;

    // A shared memory segment the server writes captures into. Images read from it keep
    // it alive and mark it busy; once they are gone it is used again, which saves the
    // ~100 ms a fresh 4K segment costs the server to fault in.
    struct Segment;

private:
    X11CaptureBackend(xcb_connection_t* connection, int screenNumber);
    std::shared_ptr<Segment> freeSegment(std::size_t bytes);
    using SharedRead = Expected<QImage> (X11CaptureBackend::*)(const QRect&);
    Expected<QImage> grabThrough(const QRect& nativeRect, SharedRead read);
    Expected<QRect> checkArea(const QRect& nativeRect) const;
    [[nodiscard]] Status readInto(const Segment& segment, const QRect& area);
    Expected<QImage> grabShared(const QRect& area);
    Expected<QImage> grabInStrips(const QRect& area);
    Expected<QImage> grabPlain(const QRect& area);

    mutable std::mutex m_mutex;
    xcb_connection_t* m_connection;
    int m_screenNumber;
    bool m_hasShm = false;
    std::vector<std::shared_ptr<Segment>> m_segments;
};

} // namespace kestrova
