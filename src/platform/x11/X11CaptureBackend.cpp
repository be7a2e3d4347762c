#include "X11CaptureBackend.h"

#include "ImageBuffer.h"
#include "Prefault.h"
#include "XcbReply.h"

#include <xcb/shm.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <limits>

namespace kestrova {

namespace {

// Without shared memory, the overlay's pixels go in bands of up to this much a request.
constexpr std::size_t plainBandBytes = 1024 * 1024;

} // namespace

std::shared_ptr<X11CaptureBackend> X11CaptureBackend::connect() {
    std::unique_ptr<X11ScreenReader> reader = X11ScreenReader::connect();
    if (!reader)
        return nullptr;
    return std::shared_ptr<X11CaptureBackend>(new X11CaptureBackend(std::move(reader)));
}

X11CaptureBackend::X11CaptureBackend(std::unique_ptr<X11ScreenReader> reader)
    : m_reader(std::move(reader)) {}

X11CaptureBackend::~X11CaptureBackend() {
    if (m_gc)
        xcb_free_gc(m_reader->connection(), m_gc);
}

// The segment is made now and the server writes it whole once, which has the system
// supply its pages (~5 ms) before anyone waits for a capture. They are the server's
// work: this process maps them only as it reads its first capture.
void X11CaptureBackend::prepare() {
    std::lock_guard lock(m_mutex);
    const xcb_screen_t* screen = m_reader->screen();
    const X11ScreenReader::Segment* segment = m_reader->sharedSegment();
    if (!screen || !segment || !m_reader->rootIsRgb32())
        return;
    const std::size_t rowBytes = std::size_t(screen->width_in_pixels) * 4;
    const auto rows = static_cast<uint16_t>(
        std::min<std::size_t>(screen->height_in_pixels, segment->size / rowBytes));
    xcb_connection_t* c = m_reader->connection();
    owned(xcb_shm_get_image_reply(c,
                                  xcb_shm_get_image(c, screen->root, 0, 0, screen->width_in_pixels,
                                                    rows, ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP,
                                                    segment->xid, 0),
                                  nullptr));
}

void X11CaptureBackend::releaseCaches() {
    m_stills.clear();
}

bool X11CaptureBackend::isCompositing() const {
    std::lock_guard lock(m_mutex);
    xcb_connection_t* c = m_reader->connection();
    const QByteArray name =
        QByteArrayLiteral("_NET_WM_CM_S") + QByteArray::number(m_reader->screenNumber());
    const auto atom = owned(xcb_intern_atom_reply(
        c, xcb_intern_atom(c, 0, static_cast<uint16_t>(name.size()), name.constData()), nullptr));
    if (!atom)
        return false;
    const auto owner =
        owned(xcb_get_selection_owner_reply(c, xcb_get_selection_owner(c, atom->atom), nullptr));
    return owner && owner->owner != XCB_NONE;
}

QString X11CaptureBackend::failureHint() const {
    return X11ScreenReader::failureHint();
}

Expected<QImage> X11CaptureBackend::grabOnce(const QRect& nativeRect) {
    return grabInto(nativeRect, &ImageBuffer::make);
}

Expected<QImage> X11CaptureBackend::grab(const QRect& nativeRect) {
    return grabInto(nativeRect, [this](QSize size, QImage::Format format) {
        return m_stills.make(size, format);
    });
}

// Through shared memory where it works, else by plain requests.
Expected<QImage>
X11CaptureBackend::grabInto(const QRect& nativeRect,
                            const std::function<QImage(QSize, QImage::Format)>& make) {
    std::lock_guard lock(m_mutex);
    if (const Expected<QRect> area = m_reader->checkArea(nativeRect); !area)
        return area.error();
    QImage image = make(nativeRect.size(), QImage::Format_RGB32);
    if (image.isNull())
        return X11ScreenReader::xError("read the screen", 0);
    int y = 0;
    const RowSink into = [&image, &y](const std::uint32_t* rows, int count) {
        ImageBuffer::putOpaqueRows(image, y, rows, count);
        y += count;
    };
    if (const X11ScreenReader::Segment* segment = m_reader->sharedSegment()) {
        // The pages of the picture's second half are supplied meanwhile on another thread.
        const std::size_t firstHalf = std::size_t(image.sizeInBytes()) / 2;
        const PrefaultInBackground pages(image.bits() + firstHalf,
                                         std::size_t(image.sizeInBytes()) - firstHalf);
        if (!m_reader->readInStrips(*segment, nativeRect, into))
            return image;
        y = 0;
    }
    if (const Status failed = m_reader->readPlain(nativeRect, into))
        return *failed;
    return image;
}

Status X11CaptureBackend::streamOnce(const QRect& nativeRect, const RowSink& sink) {
    std::lock_guard lock(m_mutex);
    return m_reader->read(nativeRect, sink);
}

bool X11CaptureBackend::sharesMemory() const {
    std::lock_guard lock(m_mutex);
    return m_reader->sharesMemory();
}

bool X11CaptureBackend::paintsWindows() const {
    return true;
}

bool X11CaptureBackend::paintWindow(WId window, const QRegion& area, const BandRender& render) {
    std::lock_guard lock(m_mutex);
    if (area.isEmpty())
        return true;
    const xcb_screen_t* screen = m_reader->screen();
    if (!screen || !m_reader->rootIsRgb32())
        return false;
    xcb_connection_t* const c = m_reader->connection();
    const auto id = static_cast<xcb_window_t>(window);
    // Pixels go in as the root's: a window of another depth takes them another way.
    // Asked once per window, not at every move of a drag.
    if (id != m_rootDepthWindow) {
        const auto geometry = owned(xcb_get_geometry_reply(c, xcb_get_geometry(c, id), nullptr));
        if (!geometry || geometry->depth != screen->root_depth)
            return false;
        m_rootDepthWindow = id;
    }
    if (!m_gc) {
        m_gc = xcb_generate_id(c);
        const std::uint32_t noExposures = 0;
        xcb_create_gc(c, m_gc, screen->root, XCB_GC_GRAPHICS_EXPOSURES, &noExposures);
    }

    // With shared memory, bands follow each other round the segment: the server copies
    // the last ones while this renders the next, and the small rectangles of a drag move
    // all go before a single wait. Without it each band travels in a request of its
    // own, within the server's limit.
    const X11ScreenReader::Segment* segment = m_reader->sharedSegment();
    const std::size_t requestBytes = std::size_t(xcb_get_maximum_request_length(c)) * 4 - 64;
    const std::size_t bandBytes =
        segment ? segment->size / 2 : std::min(plainBandBytes, requestBytes);
    ImageBuffer::Bytes local;
    if (!segment) {
        local = ImageBuffer::bytes(bandBytes);
        if (!local)
            return false;
    }
    struct Put {
        std::size_t from, to;
        xcb_void_cookie_t cookie;
    };
    std::vector<Put> pending;
    bool failed = false;
    // Waits until the server is done with the puts reading [from, to) and all before.
    const auto settle = [&](std::size_t from, std::size_t to) {
        const auto last = std::find_if(pending.rbegin(), pending.rend(), [&](const Put& put) {
            return put.from < to && from < put.to;
        });
        const auto done = last.base();
        for (auto it = pending.begin(); it != done; ++it) {
            if (owned(xcb_request_check(c, it->cookie)))
                failed = true;
        }
        pending.erase(pending.begin(), done);
    };
    std::size_t cursor = 0;
    for (const QRect& rect : area) {
        const std::size_t rowBytes = std::size_t(rect.width()) * 4;
        const int rowsPerBand = int(std::max<std::size_t>(1, bandBytes / rowBytes));
        for (int y = 0; y < rect.height() && !failed; y += rowsPerBand) {
            const int rows = std::min(rowsPerBand, rect.height() - y);
            const std::size_t bytes = rowBytes * std::size_t(rows);
            if (!segment || cursor + bytes > segment->size)
                cursor = 0;
            settle(cursor, cursor + bytes);
            if (failed)
                break;
            const QRect place(rect.x(), rect.y() + y, rect.width(), rows);
            uchar* memory = segment ? static_cast<uchar*>(segment->address) + cursor : local.get();
            QImage pixels(memory, place.width(), rows, qsizetype(rowBytes), QImage::Format_RGB32);
            render(pixels, place);
            const auto w = static_cast<uint16_t>(place.width());
            const auto h = static_cast<uint16_t>(rows);
            const auto x = static_cast<int16_t>(place.x());
            const auto top = static_cast<int16_t>(place.y());
            const xcb_void_cookie_t cookie =
                segment
                    ? xcb_shm_put_image_checked(c, id, m_gc, w, h, 0, 0, w, h, x, top,
                                                screen->root_depth, XCB_IMAGE_FORMAT_Z_PIXMAP, 0,
                                                segment->xid, std::uint32_t(cursor))
                    : xcb_put_image_checked(c, XCB_IMAGE_FORMAT_Z_PIXMAP, id, m_gc, w, h, x, top, 0,
                                            screen->root_depth, std::uint32_t(bytes), memory);
            pending.push_back({cursor, cursor + bytes, cookie});
            cursor += bytes;
        }
    }
    settle(0, std::numeric_limits<std::size_t>::max());
    return !failed;
}

} // namespace kestrova
