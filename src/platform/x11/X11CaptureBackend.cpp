#include "X11CaptureBackend.h"

#include "CaptureError.h"
#include "ImageBuffer.h"
#include "Prefault.h"

#include <xcb/shm.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>

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
    std::atomic<bool> busy = false;

    ~Segment() {
        if (address)
            shmdt(address);
    }
};

namespace {

constexpr std::size_t keptSegments = 2;

// The cleanup of an image read into a segment: frees the segment for the next capture.
void releaseSegment(void* holder) {
    auto* segment = static_cast<std::shared_ptr<X11CaptureBackend::Segment>*>(holder);
    (*segment)->busy = false;
    delete segment;
}

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
    xcb_shm_query_version_reply_t* version =
        xcb_shm_query_version_reply(m_connection, xcb_shm_query_version(m_connection), nullptr);
    m_hasShm = version != nullptr;
    std::free(version);
}

X11CaptureBackend::~X11CaptureBackend() {
    for (const auto& segment : m_segments)
        xcb_shm_detach(m_connection, segment->xid);
    xcb_disconnect(m_connection);
}

void X11CaptureBackend::releaseCaches() {
    std::lock_guard lock(m_mutex);
    // Segments still behind an image stay until that image goes.
    std::erase_if(m_segments, [this](const std::shared_ptr<Segment>& segment) {
        if (segment->busy)
            return false;
        xcb_shm_detach(m_connection, segment->xid);
        return true;
    });
    xcb_flush(m_connection);
}

std::shared_ptr<X11CaptureBackend::Segment> X11CaptureBackend::freeSegment(std::size_t bytes) {
    for (const auto& segment : m_segments) {
        if (!segment->busy && segment->size >= bytes)
            return segment;
    }
    // Running short of segments or memory is passing: this capture goes without.
    const int id = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
    if (id < 0)
        return nullptr;
    void* address = shmat(id, nullptr, 0);
    // Marked for removal at once: it disappears with the last detach, even after a crash.
    shmctl(id, IPC_RMID, nullptr);
    if (address == reinterpret_cast<void*>(-1))
        return nullptr;
    // The server writes it whole at once; pages supplied now on both cores come faster
    // than the server taking them one by one.
    prefault(address, bytes);
    auto segment = std::make_shared<Segment>();
    segment->address = address;
    segment->size = bytes;
    segment->xid = xcb_generate_id(m_connection);
    xcb_generic_error_t* error =
        xcb_request_check(m_connection, xcb_shm_attach_checked(m_connection, segment->xid, id, 0));
    if (error) {
        // The server cannot reach this process's memory (a remote display): it never will.
        std::free(error);
        m_hasShm = false;
        return nullptr;
    }
    if (m_segments.size() >= keptSegments) {
        // Every kept segment is busy or too small: replace a free one, if there is one.
        const auto spare = std::find_if(m_segments.begin(), m_segments.end(),
                                        [](const auto& s) { return !s->busy; });
        if (spare != m_segments.end()) {
            xcb_shm_detach(m_connection, (*spare)->xid);
            m_segments.erase(spare);
        }
    }
    if (m_segments.size() < keptSegments)
        m_segments.push_back(segment);
    return segment;
}

bool X11CaptureBackend::isCompositing() const {
    std::lock_guard lock(m_mutex);
    const QByteArray name = QByteArrayLiteral("_NET_WM_CM_S") + QByteArray::number(m_screenNumber);
    xcb_intern_atom_reply_t* atom = xcb_intern_atom_reply(
        m_connection,
        xcb_intern_atom(m_connection, 0, static_cast<uint16_t>(name.size()), name.constData()),
        nullptr);
    if (!atom)
        return false;
    xcb_get_selection_owner_reply_t* owner = xcb_get_selection_owner_reply(
        m_connection, xcb_get_selection_owner(m_connection, atom->atom), nullptr);
    const bool compositing = owner && owner->owner != XCB_NONE;
    std::free(owner);
    std::free(atom);
    return compositing;
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
    return grabThrough(nativeRect, &X11CaptureBackend::grabInStrips);
}

Expected<QImage> X11CaptureBackend::grab(const QRect& nativeRect) {
    return grabThrough(nativeRect, &X11CaptureBackend::grabShared);
}

// Through shared memory where it works, else by plain requests.
Expected<QImage> X11CaptureBackend::grabThrough(const QRect& nativeRect, SharedRead read) {
    std::lock_guard lock(m_mutex);
    if (const Expected<QRect> area = checkArea(nativeRect); !area)
        return area.error();
    if (m_hasShm) {
        if (Expected<QImage> image = (this->*read)(nativeRect))
            return image;
    }
    return grabPlain(nativeRect);
}

bool X11CaptureBackend::sharesMemory() const {
    std::lock_guard lock(m_mutex);
    return m_hasShm;
}

// Has the server write an area of the root into the start of a segment.
Status X11CaptureBackend::readInto(const Segment& segment, const QRect& area) {
    const xcb_screen_t* screen = screenAt(m_connection, m_screenNumber);
    xcb_generic_error_t* error = nullptr;
    xcb_shm_get_image_reply_t* reply = xcb_shm_get_image_reply(
        m_connection,
        xcb_shm_get_image(m_connection, screen->root, static_cast<int16_t>(area.x()),
                          static_cast<int16_t>(area.y()), static_cast<uint16_t>(area.width()),
                          static_cast<uint16_t>(area.height()), ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP,
                          segment.xid, 0),
        &error);
    if (!reply) {
        const int code = error ? error->error_code : 0;
        std::free(error);
        return xError("read the screen", code);
    }
    std::free(reply);
    return std::nullopt;
}

Expected<QImage> X11CaptureBackend::grabShared(const QRect& area) {
    const std::size_t bytes = static_cast<std::size_t>(area.width()) * area.height() * 4;
    const std::shared_ptr<Segment> segment = freeSegment(bytes);
    if (!segment)
        return xError("share memory", 0);
    segment->busy = true;
    const Status failed = readInto(*segment, area);
    const bool kept = std::find(m_segments.begin(), m_segments.end(), segment) != m_segments.end();
    if (!kept) // a one-off: the server has no more use for it
        xcb_shm_detach(m_connection, segment->xid);
    xcb_flush(m_connection);
    if (failed) {
        segment->busy = false;
        return *failed;
    }
    return QImage(static_cast<uchar*>(segment->address), area.width(), area.height(),
                  area.width() * 4, QImage::Format_RGB32, releaseSegment,
                  new std::shared_ptr<Segment>(segment));
}

// A fresh screen-sized segment costs the server its page faults (~100 ms at 4K); a
// small one costs little, and memory of this process's own can take huge pages.
Expected<QImage> X11CaptureBackend::grabInStrips(const QRect& area) {
    constexpr std::size_t stripBytes = 4 * 1024 * 1024;
    const std::size_t rowBytes = std::size_t(area.width()) * 4;
    const int rowsPerStrip = int(std::max<std::size_t>(1, stripBytes / rowBytes));
    const std::shared_ptr<Segment> segment =
        freeSegment(rowBytes * std::size_t(std::min(rowsPerStrip, area.height())));
    if (!segment)
        return xError("share memory", 0);
    QImage image = ImageBuffer::make(area.size(), QImage::Format_RGB32);
    if (image.isNull())
        return xError("read the screen", 0);
    segment->busy = true;
    for (int y = 0; y < area.height(); y += rowsPerStrip) {
        const int rows = std::min(rowsPerStrip, area.height() - y);
        if (const Status failed =
                readInto(*segment, QRect(area.x(), area.y() + y, area.width(), rows))) {
            segment->busy = false;
            return *failed;
        }
        ImageBuffer::putOpaqueRows(image, y, static_cast<const std::uint32_t*>(segment->address),
                                   rows);
    }
    segment->busy = false;
    return image;
}

Expected<QImage> X11CaptureBackend::grabPlain(const QRect& area) {
    const xcb_screen_t* screen = screenAt(m_connection, m_screenNumber);
    QImage image = ImageBuffer::make(area.size(), QImage::Format_RGB32);
    if (image.isNull())
        return xError("read the screen", 0);
    // A single request may not exceed the server's limit; read in bands of rows.
    const int maxBytes = static_cast<int>(xcb_get_maximum_request_length(m_connection)) * 4 / 2;
    const int bandRows = std::max(1, maxBytes / (area.width() * 4));
    for (int y = 0; y < area.height(); y += bandRows) {
        const int rows = std::min(bandRows, area.height() - y);
        xcb_generic_error_t* error = nullptr;
        xcb_get_image_reply_t* reply = xcb_get_image_reply(
            m_connection,
            xcb_get_image(m_connection, XCB_IMAGE_FORMAT_Z_PIXMAP, screen->root,
                          static_cast<int16_t>(area.x()), static_cast<int16_t>(area.y() + y),
                          static_cast<uint16_t>(area.width()), static_cast<uint16_t>(rows), ~0u),
            &error);
        if (!reply) {
            const int code = error ? error->error_code : 0;
            std::free(error);
            return xError("read the screen", code);
        }
        const int complete = xcb_get_image_data_length(reply) / (area.width() * 4);
        ImageBuffer::putOpaqueRows(
            image, y, reinterpret_cast<const std::uint32_t*>(xcb_get_image_data(reply)),
            std::min(rows, complete));
        std::free(reply);
    }
    return image;
}

} // namespace kestrova
