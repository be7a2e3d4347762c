#include "X11CaptureBackend.h"

#include "CaptureError.h"
#include "ImageBuffer.h"
#include "Prefault.h"
#include "XcbReply.h"

#include <xcb/shm.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>

#include <sys/ipc.h>
#include <sys/shm.h>

namespace kestrova {

namespace {

xcb_screen_t* screenAt(xcb_connection_t* c, int number) {
    xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(c));
    for (int i = 0; it.rem; ++i, xcb_screen_next(&it)) {
        if (i == number)
            return it.data;
    }
    return nullptr;
}

// Only 24- and 32-bit true-colour roots with 32 bits per pixel map onto QImage directly.
bool rootIsRgb32(xcb_connection_t* c, const xcb_screen_t* screen) {
    if (screen->root_depth != 24 && screen->root_depth != 32)
        return false;
    const xcb_setup_t* setup = xcb_get_setup(c);
    xcb_format_iterator_t f = xcb_setup_pixmap_formats_iterator(setup);
    for (; f.rem; xcb_format_next(&f)) {
        if (f.data->depth == screen->root_depth)
            return f.data->bits_per_pixel == 32 &&
                   setup->image_byte_order == XCB_IMAGE_ORDER_LSB_FIRST;
    }
    return false;
}

Error xError(const char* what, int code) {
    return Error{
        QStringLiteral("The X server refused to %1 (error %2).").arg(QLatin1String(what)).arg(code),
        QStringLiteral("X11"), code};
}

} // namespace

struct X11CaptureBackend::Segment {
    std::uint32_t xid = 0;
    void* address = nullptr;
    std::size_t size = 0;

    ~Segment() {
        if (address)
            shmdt(address);
    }
};

namespace {

// Big enough that a whole screen passes in a few dozen round trips, small enough that
// keeping it for good costs little: a fresh screen-sized segment would cost the server
// its page faults at every capture (~100 ms at 4K), and shared memory cannot take huge
// pages.
constexpr std::size_t segmentBytes = 2 * 1024 * 1024;

} // namespace

std::shared_ptr<X11CaptureBackend> X11CaptureBackend::connect() {
    int screenNumber = 0;
    xcb_connection_t* c = xcb_connect(nullptr, &screenNumber);
    if (!c || xcb_connection_has_error(c)) {
        if (c)
            xcb_disconnect(c);
        return nullptr;
    }
    return std::shared_ptr<X11CaptureBackend>(new X11CaptureBackend(c, screenNumber));
}

X11CaptureBackend::X11CaptureBackend(xcb_connection_t* connection, int screenNumber)
    : m_connection(connection), m_screenNumber(screenNumber) {
    // A request of an extension the server lacks makes libxcb close the connection, so
    // ask first (SSH forwarding, VNC and nested servers often have no MIT-SHM).
    const xcb_query_extension_reply_t* shm = xcb_get_extension_data(m_connection, &xcb_shm_id);
    if (!shm || !shm->present)
        return;
    m_hasShm = owned(xcb_shm_query_version_reply(m_connection, xcb_shm_query_version(m_connection),
                                                 nullptr)) != nullptr;
}

X11CaptureBackend::~X11CaptureBackend() {
    if (m_segment)
        xcb_shm_detach(m_connection, m_segment->xid);
    if (m_gc)
        xcb_free_gc(m_connection, m_gc);
    xcb_disconnect(m_connection);
}

// The segment is made now and the server writes it whole once, which has the system
// supply its pages (~5 ms) before anyone waits for a capture. They are the server's
// work: this process maps them only as it reads its first capture.
void X11CaptureBackend::prepare() {
    std::lock_guard lock(m_mutex);
    const xcb_screen_t* screen = screenAt(m_connection, m_screenNumber);
    const Segment* segment = sharedSegment();
    if (!screen || !segment || !rootIsRgb32(m_connection, screen))
        return;
    const std::size_t rowBytes = std::size_t(screen->width_in_pixels) * 4;
    const auto rows = static_cast<uint16_t>(
        std::min<std::size_t>(screen->height_in_pixels, segment->size / rowBytes));
    owned(xcb_shm_get_image_reply(m_connection,
                                  xcb_shm_get_image(m_connection, screen->root, 0, 0,
                                                    screen->width_in_pixels, rows, ~0u,
                                                    XCB_IMAGE_FORMAT_Z_PIXMAP, segment->xid, 0),
                                  nullptr));
}

void X11CaptureBackend::releaseCaches() {
    m_stills.clear();
}

X11CaptureBackend::Segment* X11CaptureBackend::sharedSegment() {
    if (!m_hasShm)
        return nullptr;
    if (m_segment)
        return m_segment.get();
    // Running short of segments is passing: this capture goes without.
    const int id = shmget(IPC_PRIVATE, segmentBytes, IPC_CREAT | 0600);
    if (id < 0)
        return nullptr;
    void* address = shmat(id, nullptr, 0);
    // Marked for removal at once: it disappears with the last detach, even after a crash.
    shmctl(id, IPC_RMID, nullptr);
    if (address == reinterpret_cast<void*>(-1))
        return nullptr;
    auto segment = std::make_unique<Segment>();
    segment->address = address;
    segment->size = segmentBytes;
    segment->xid = xcb_generate_id(m_connection);
    if (owned(xcb_request_check(m_connection,
                                xcb_shm_attach_checked(m_connection, segment->xid, id, 0)))) {
        // The server cannot reach this process's memory (a remote display): it never will.
        m_hasShm = false;
        return nullptr;
    }
    m_segment = std::move(segment);
    return m_segment.get();
}

bool X11CaptureBackend::isCompositing() const {
    std::lock_guard lock(m_mutex);
    const QByteArray name = QByteArrayLiteral("_NET_WM_CM_S") + QByteArray::number(m_screenNumber);
    const auto atom = owned(xcb_intern_atom_reply(
        m_connection,
        xcb_intern_atom(m_connection, 0, static_cast<uint16_t>(name.size()), name.constData()),
        nullptr));
    if (!atom)
        return false;
    const auto owner = owned(xcb_get_selection_owner_reply(
        m_connection, xcb_get_selection_owner(m_connection, atom->atom), nullptr));
    return owner && owner->owner != XCB_NONE;
}

QString X11CaptureBackend::failureHint() const {
    return QStringLiteral("\n\nkestrova reads the screen from the X server; check that the "
                          "display is still connected, then try again.");
}

Expected<QRect> X11CaptureBackend::checkArea(const QRect& nativeRect) const {
    const xcb_screen_t* screen = screenAt(m_connection, m_screenNumber);
    if (!screen || xcb_connection_has_error(m_connection))
        return CaptureError::make(CaptureError::Kind::noDisplay);
    // A screen that has gone away no longer lies within the root window.
    const QRect root(0, 0, screen->width_in_pixels, screen->height_in_pixels);
    if (nativeRect.isEmpty() || !root.contains(nativeRect))
        return CaptureError::make(CaptureError::Kind::noDisplay);
    if (!rootIsRgb32(m_connection, screen))
        return Error{QStringLiteral("The display's colour depth (%1 bits) is not supported.")
                         .arg(screen->root_depth),
                     QStringLiteral("X11"), 0};
    return nativeRect;
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
    if (const Expected<QRect> area = checkArea(nativeRect); !area)
        return area.error();
    QImage image = make(nativeRect.size(), QImage::Format_RGB32);
    if (image.isNull())
        return xError("read the screen", 0);
    int y = 0;
    const RowSink into = [&image, &y](const std::uint32_t* rows, int count) {
        ImageBuffer::putOpaqueRows(image, y, rows, count);
        y += count;
    };
    if (const Segment* segment = sharedSegment()) {
        // The pages of the picture's second half are supplied meanwhile on another thread.
        const std::size_t firstHalf = std::size_t(image.sizeInBytes()) / 2;
        const PrefaultInBackground pages(image.bits() + firstHalf,
                                         std::size_t(image.sizeInBytes()) - firstHalf);
        if (!readInStrips(*segment, nativeRect, into))
            return image;
        y = 0;
    }
    if (const Status failed = readPlain(nativeRect, into))
        return *failed;
    return image;
}

Status X11CaptureBackend::streamOnce(const QRect& nativeRect, const RowSink& sink) {
    std::lock_guard lock(m_mutex);
    if (const Expected<QRect> area = checkArea(nativeRect); !area)
        return area.error();
    // Rows already handed over cannot be taken back: no second way once one has begun.
    if (const Segment* segment = sharedSegment())
        return readInStrips(*segment, nativeRect, sink);
    return readPlain(nativeRect, sink);
}

bool X11CaptureBackend::sharesMemory() const {
    std::lock_guard lock(m_mutex);
    return m_hasShm;
}

// The screen passes through the small segment a strip at a time into memory of this
// process's own, which can take huge pages. The segment's halves take turns: the server
// writes the next strip into one while this copies the last out of the other.
Status X11CaptureBackend::readInStrips(const Segment& segment, const QRect& area,
                                       const RowSink& sink) {
    const xcb_screen_t* screen = screenAt(m_connection, m_screenNumber);
    const std::size_t half = segment.size / 2;
    const std::size_t rowBytes = std::size_t(area.width()) * 4;
    const int rowsPerStrip = int(std::max<std::size_t>(1, half / rowBytes));
    const int strips = (area.height() + rowsPerStrip - 1) / rowsPerStrip;
    const auto request = [&](int strip) {
        const int y = strip * rowsPerStrip;
        const int rows = std::min(rowsPerStrip, area.height() - y);
        return xcb_shm_get_image(m_connection, screen->root, static_cast<int16_t>(area.x()),
                                 static_cast<int16_t>(area.y() + y),
                                 static_cast<uint16_t>(area.width()), static_cast<uint16_t>(rows),
                                 ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP, segment.xid,
                                 std::uint32_t(half * std::size_t(strip % 2)));
    };
    xcb_shm_get_image_cookie_t pending[2] = {request(0), {}};
    for (int strip = 0; strip < strips; ++strip) {
        if (strip + 1 < strips)
            pending[(strip + 1) % 2] = request(strip + 1);
        xcb_generic_error_t* failure = nullptr;
        const auto reply =
            owned(xcb_shm_get_image_reply(m_connection, pending[strip % 2], &failure));
        const auto error = owned(failure);
        if (!reply) {
            if (strip + 1 < strips)
                xcb_discard_reply(m_connection, pending[(strip + 1) % 2].sequence);
            return xError("read the screen", error ? error->error_code : 0);
        }
        const int y = strip * rowsPerStrip;
        sink(reinterpret_cast<const std::uint32_t*>(static_cast<const uchar*>(segment.address) +
                                                    half * std::size_t(strip % 2)),
             std::min(rowsPerStrip, area.height() - y));
    }
    return std::nullopt;
}

Status X11CaptureBackend::readPlain(const QRect& area, const RowSink& sink) {
    const xcb_screen_t* screen = screenAt(m_connection, m_screenNumber);
    // A single request may not exceed the server's limit; read in bands of rows.
    const int maxBytes = static_cast<int>(xcb_get_maximum_request_length(m_connection)) * 4 / 2;
    const int bandRows = std::max(1, maxBytes / (area.width() * 4));
    for (int y = 0; y < area.height(); y += bandRows) {
        const int rows = std::min(bandRows, area.height() - y);
        xcb_generic_error_t* failure = nullptr;
        const auto reply = owned(xcb_get_image_reply(
            m_connection,
            xcb_get_image(m_connection, XCB_IMAGE_FORMAT_Z_PIXMAP, screen->root,
                          static_cast<int16_t>(area.x()), static_cast<int16_t>(area.y() + y),
                          static_cast<uint16_t>(area.width()), static_cast<uint16_t>(rows), ~0u),
            &failure));
        const auto error = owned(failure);
        if (!reply)
            return xError("read the screen", error ? error->error_code : 0);
        // A short answer would leave rows unread: the picture would not be the screen.
        if (xcb_get_image_data_length(reply.get()) / (area.width() * 4) < rows)
            return xError("read the screen", 0);
        sink(reinterpret_cast<const std::uint32_t*>(xcb_get_image_data(reply.get())), rows);
    }
    return std::nullopt;
}

bool X11CaptureBackend::paintsWindows() const {
    return true;
}

bool X11CaptureBackend::paintWindow(WId window, const QRegion& area, const BandRender& render) {
    std::lock_guard lock(m_mutex);
    if (area.isEmpty())
        return true;
    const xcb_screen_t* screen = screenAt(m_connection, m_screenNumber);
    if (!screen || xcb_connection_has_error(m_connection) || !rootIsRgb32(m_connection, screen))
        return false;
    const auto id = static_cast<xcb_window_t>(window);
    // Pixels go in as the root's: a window of another depth takes them another way.
    // Asked once per window, not at every move of a drag.
    if (id != m_rootDepthWindow) {
        const auto geometry = owned(
            xcb_get_geometry_reply(m_connection, xcb_get_geometry(m_connection, id), nullptr));
        if (!geometry || geometry->depth != screen->root_depth)
            return false;
        m_rootDepthWindow = id;
    }
    if (!m_gc) {
        m_gc = xcb_generate_id(m_connection);
        const std::uint32_t noExposures = 0;
        xcb_create_gc(m_connection, m_gc, screen->root, XCB_GC_GRAPHICS_EXPOSURES, &noExposures);
    }

    // With shared memory, bands follow each other round the segment: the server copies
    // the last ones while this renders the next, and the small rectangles of a drag move
    // all go before a single wait. Without it each band travels in a request of its
    // own, within the server's limit.
    const Segment* segment = sharedSegment();
    const std::size_t requestBytes =
        std::size_t(xcb_get_maximum_request_length(m_connection)) * 4 - 64;
    const std::size_t bandBytes =
        segment ? segment->size / 2 : std::min(segmentBytes / 2, requestBytes);
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
            if (owned(xcb_request_check(m_connection, it->cookie)))
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
                    ? xcb_shm_put_image_checked(m_connection, id, m_gc, w, h, 0, 0, w, h, x, top,
                                                screen->root_depth, XCB_IMAGE_FORMAT_Z_PIXMAP, 0,
                                                segment->xid, std::uint32_t(cursor))
                    : xcb_put_image_checked(m_connection, XCB_IMAGE_FORMAT_Z_PIXMAP, id, m_gc, w, h,
                                            x, top, 0, screen->root_depth, std::uint32_t(bytes),
                                            memory);
            pending.push_back({cursor, cursor + bytes, cookie});
            cursor += bytes;
        }
    }
    settle(0, std::numeric_limits<std::size_t>::max());
    return !failed;
}

} // namespace kestrova
