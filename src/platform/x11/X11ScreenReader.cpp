#include "X11ScreenReader.h"

#include "CaptureError.h"
#include "XcbReply.h"

#include <xcb/shm.h>
#include <xcb/xcb.h>

#include <algorithm>

#include <sys/ipc.h>
#include <sys/shm.h>

namespace kestrova {

namespace {

// Big enough that a whole screen passes in a few dozen round trips, small enough that
// keeping it for good costs little: a fresh screen-sized segment would cost the server
// its page faults at every capture (~100 ms at 4K), and shared memory cannot take huge
// pages.
constexpr std::size_t segmentBytes = 2 * 1024 * 1024;

} // namespace

X11ScreenReader::Segment::~Segment() {
    if (address)
        shmdt(address);
}

Error X11ScreenReader::xError(const char* what, int code) {
    return Error{
        QStringLiteral("The X server refused to %1 (error %2).").arg(QLatin1String(what)).arg(code),
        QStringLiteral("X11"), code};
}

QString X11ScreenReader::failureHint() {
    return QStringLiteral("\n\nkestrova reads the screen from the X server; check that the "
                          "display is still connected, then try again.");
}

std::unique_ptr<X11ScreenReader> X11ScreenReader::connect() {
    int screenNumber = 0;
    xcb_connection_t* c = xcb_connect(nullptr, &screenNumber);
    if (!c || xcb_connection_has_error(c)) {
        if (c)
            xcb_disconnect(c);
        return nullptr;
    }
    return std::unique_ptr<X11ScreenReader>(new X11ScreenReader(c, screenNumber));
}

X11ScreenReader::X11ScreenReader(xcb_connection_t* connection, int screenNumber)
    : m_connection(connection), m_screenNumber(screenNumber) {
    // A request of an extension the server lacks makes libxcb close the connection, so
    // ask first (SSH forwarding, VNC and nested servers often have no MIT-SHM).
    const xcb_query_extension_reply_t* shm = xcb_get_extension_data(m_connection, &xcb_shm_id);
    if (!shm || !shm->present)
        return;
    m_hasShm = owned(xcb_shm_query_version_reply(m_connection, xcb_shm_query_version(m_connection),
                                                 nullptr)) != nullptr;
}

X11ScreenReader::~X11ScreenReader() {
    if (m_segment)
        xcb_shm_detach(m_connection, m_segment->xid);
    xcb_disconnect(m_connection);
}

const xcb_screen_t* X11ScreenReader::screen() const {
    if (xcb_connection_has_error(m_connection))
        return nullptr;
    xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(m_connection));
    for (int i = 0; it.rem; ++i, xcb_screen_next(&it)) {
        if (i == m_screenNumber)
            return it.data;
    }
    return nullptr;
}

// Only 24- and 32-bit true-colour roots with 32 bits per pixel map onto 32-bit pixels
// directly.
bool X11ScreenReader::rootIsRgb32() const {
    const xcb_screen_t* root = screen();
    if (!root || (root->root_depth != 24 && root->root_depth != 32))
        return false;
    const xcb_setup_t* setup = xcb_get_setup(m_connection);
    xcb_format_iterator_t f = xcb_setup_pixmap_formats_iterator(setup);
    for (; f.rem; xcb_format_next(&f)) {
        if (f.data->depth == root->root_depth)
            return f.data->bits_per_pixel == 32 &&
                   setup->image_byte_order == XCB_IMAGE_ORDER_LSB_FIRST;
    }
    return false;
}

X11ScreenReader::Segment* X11ScreenReader::sharedSegment() {
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

Expected<QRect> X11ScreenReader::checkArea(const QRect& nativeRect) const {
    const xcb_screen_t* root = screen();
    if (!root)
        return CaptureError::make(CaptureError::Kind::noDisplay);
    // A screen that has gone away no longer lies within the root window.
    if (nativeRect.isEmpty() ||
        !QRect(0, 0, root->width_in_pixels, root->height_in_pixels).contains(nativeRect))
        return CaptureError::make(CaptureError::Kind::noDisplay);
    if (!rootIsRgb32())
        return Error{QStringLiteral("The display's colour depth (%1 bits) is not supported.")
                         .arg(root->root_depth),
                     QStringLiteral("X11"), 0};
    return nativeRect;
}

Status X11ScreenReader::read(const QRect& nativeRect, const CaptureBackend::RowSink& sink) {
    if (const Expected<QRect> area = checkArea(nativeRect); !area)
        return area.error();
    // Rows already handed over cannot be taken back: no second way once one has begun.
    if (const Segment* segment = sharedSegment())
        return readInStrips(*segment, nativeRect, sink);
    return readPlain(nativeRect, sink);
}

// The screen passes through the small segment a strip at a time into memory of this
// process's own, which can take huge pages. The segment's halves take turns: the server
// writes the next strip into one while this copies the last out of the other.
Status X11ScreenReader::readInStrips(const Segment& segment, const QRect& area,
                                     const CaptureBackend::RowSink& sink) {
    const xcb_window_t root = screen()->root;
    const std::size_t half = segment.size / 2;
    const std::size_t rowBytes = std::size_t(area.width()) * 4;
    const int rowsPerStrip = int(std::max<std::size_t>(1, half / rowBytes));
    const int strips = (area.height() + rowsPerStrip - 1) / rowsPerStrip;
    const auto request = [&](int strip) {
        const int y = strip * rowsPerStrip;
        const int rows = std::min(rowsPerStrip, area.height() - y);
        return xcb_shm_get_image(
            m_connection, root, static_cast<int16_t>(area.x()), static_cast<int16_t>(area.y() + y),
            static_cast<uint16_t>(area.width()), static_cast<uint16_t>(rows), ~0u,
            XCB_IMAGE_FORMAT_Z_PIXMAP, segment.xid, std::uint32_t(half * std::size_t(strip % 2)));
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

Status X11ScreenReader::readPlain(const QRect& area, const CaptureBackend::RowSink& sink) {
    const xcb_window_t root = screen()->root;
    // A single request may not exceed the server's limit; read in bands of rows.
    const int maxBytes = static_cast<int>(xcb_get_maximum_request_length(m_connection)) * 4 / 2;
    const int bandRows = std::max(1, maxBytes / (area.width() * 4));
    for (int y = 0; y < area.height(); y += bandRows) {
        const int rows = std::min(bandRows, area.height() - y);
        xcb_generic_error_t* failure = nullptr;
        const auto reply = owned(xcb_get_image_reply(
            m_connection,
            xcb_get_image(m_connection, XCB_IMAGE_FORMAT_Z_PIXMAP, root,
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

} // namespace kestrova
