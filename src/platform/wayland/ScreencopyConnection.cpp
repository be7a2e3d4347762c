#include "ScreencopyConnection.h"

#include "WaylandProtocols.h"

#include <wayland-client.h>

#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

namespace kestrova {

namespace {

Error failure(const QString& what) {
    return Error{QStringLiteral("The compositor could not copy the screen: %1.").arg(what)};
}

// The shared-memory layouts kestrova reads: 32-bit pixels with or without alpha.
bool readable(std::uint32_t format) {
    return format == WL_SHM_FORMAT_XRGB8888 || format == WL_SHM_FORMAT_ARGB8888 ||
           format == WL_SHM_FORMAT_XBGR8888 || format == WL_SHM_FORMAT_ABGR8888;
}

QImage::Format imageFormat(std::uint32_t format) {
    // Little-endian words 0xXXRRGGBB are Qt's RGB32; 0xXXBBGGRR are bytes R, G, B, X.
    return format == WL_SHM_FORMAT_XRGB8888 || format == WL_SHM_FORMAT_ARGB8888
               ? QImage::Format_RGB32
               : QImage::Format_RGBX8888;
}

} // namespace

struct ScreencopyConnection::Memory {
    int fd = -1;
    std::size_t size = 0;
    void* data = MAP_FAILED;

    static std::shared_ptr<Memory> make(std::size_t size) {
        auto memory = std::make_shared<Memory>();
        memory->fd = ::memfd_create("kestrova-screen", MFD_CLOEXEC);
        if (memory->fd < 0 || ::ftruncate(memory->fd, off_t(size)) != 0)
            return nullptr;
        memory->data = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, memory->fd, 0);
        if (memory->data == MAP_FAILED)
            return nullptr;
        memory->size = size;
        return memory;
    }
    Memory() = default;
    ~Memory() {
        if (data != MAP_FAILED)
            ::munmap(data, size);
        if (fd >= 0)
            ::close(fd);
    }
    Memory(const Memory&) = delete;
    Memory& operator=(const Memory&) = delete;
};

struct ScreencopyConnection::Output {
    std::uint32_t global = 0;
    wl_output* output = nullptr;
    wl_proxy* xdg = nullptr;
    QString name;
    QPoint position;
    bool placed = false; // the position above is the compositor's
    int transform = 0;

    ~Output() {
        if (xdg)
            wl_proxy_marshal_flags(xdg, wayland::xdgOutputDestroy, nullptr,
                                   wl_proxy_get_version(xdg), WL_MARSHAL_FLAG_DESTROY);
        if (output && wl_proxy_get_version(reinterpret_cast<wl_proxy*>(output)) >= 3)
            wl_output_release(output);
        else if (output)
            wl_output_destroy(output);
    }
};

// One frame in flight.
struct ScreencopyConnection::Copy {
    wl_proxy* frame = nullptr;
    std::uint32_t format = 0;
    std::uint32_t width = 0, height = 0, stride = 0;
    bool described = false; // every buffer layout has been offered
    bool finished = false;
    bool failed = false;
    bool yInverted = false;
    int transform = 0; // the output's, when the copy was asked for
    wl_shm_pool* pool = nullptr;
    wl_buffer* buffer = nullptr;
    std::shared_ptr<Memory> memory; // what `buffer` is made of

    ~Copy() {
        if (buffer)
            wl_buffer_destroy(buffer);
        if (pool)
            wl_shm_pool_destroy(pool);
        if (frame)
            wl_proxy_marshal_flags(frame, wayland::frameDestroy, nullptr,
                                   wl_proxy_get_version(frame), WL_MARSHAL_FLAG_DESTROY);
    }
};

namespace {

const wl_output_listener outputListener = {
    [](void* data, wl_output*, std::int32_t, std::int32_t, std::int32_t, std::int32_t, std::int32_t,
       const char*, const char*, std::int32_t transform) {
        static_cast<ScreencopyConnection::Output*>(data)->transform = transform;
    },
    [](void*, wl_output*, std::uint32_t, std::int32_t, std::int32_t, std::int32_t) {},
    [](void*, wl_output*) {},
    [](void*, wl_output*, std::int32_t) {},
    [](void* data, wl_output*, const char* name) {
        auto* output = static_cast<ScreencopyConnection::Output*>(data);
        if (output->name.isEmpty())
            output->name = QString::fromUtf8(name);
    },
    [](void*, wl_output*, const char*) {},
};

const wayland::XdgOutputListener xdgOutputListener = {
    [](void* data, wl_proxy*, std::int32_t x, std::int32_t y) {
        auto* output = static_cast<ScreencopyConnection::Output*>(data);
        output->position = QPoint(x, y);
        output->placed = true;
    },
    [](void*, wl_proxy*, std::int32_t, std::int32_t) {},
    [](void*, wl_proxy*) {},
    // The desktop's name of the output, which Qt gives its screen too.
    [](void* data, wl_proxy*, const char* name) {
        static_cast<ScreencopyConnection::Output*>(data)->name = QString::fromUtf8(name);
    },
    [](void*, wl_proxy*, const char*) {},
};

const wayland::ScreencopyFrameListener frameListener = {
    [](void* data, wl_proxy*, std::uint32_t format, std::uint32_t width, std::uint32_t height,
       std::uint32_t stride) {
        auto* copy = static_cast<ScreencopyConnection::Copy*>(data);
        // The first layout kestrova reads wins; the compositor offers its best first.
        if (copy->format == 0 && copy->width == 0 && readable(format)) {
            copy->format = format;
            copy->width = width;
            copy->height = height;
            copy->stride = stride;
        }
    },
    [](void* data, wl_proxy*, std::uint32_t flags) {
        static_cast<ScreencopyConnection::Copy*>(data)->yInverted =
            (flags & wayland::frameYInverted) != 0;
    },
    [](void* data, wl_proxy*, std::uint32_t, std::uint32_t, std::uint32_t) {
        static_cast<ScreencopyConnection::Copy*>(data)->finished = true;
    },
    [](void* data, wl_proxy*) {
        auto* copy = static_cast<ScreencopyConnection::Copy*>(data);
        copy->finished = copy->failed = true;
    },
    [](void*, wl_proxy*, std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t) {},
    [](void*, wl_proxy*, std::uint32_t, std::uint32_t, std::uint32_t) {},
    [](void* data, wl_proxy*) { static_cast<ScreencopyConnection::Copy*>(data)->described = true; },
};

} // namespace

std::unique_ptr<ScreencopyConnection> ScreencopyConnection::connect(const char* displayName) {
    wl_display* display = wl_display_connect(displayName);
    if (!display)
        return nullptr;
    std::unique_ptr<ScreencopyConnection> connection(new ScreencopyConnection(display));
    // The globals, then what the outputs say of themselves.
    if (connection->roundtrip() || !connection->m_screencopy || !connection->m_shm)
        return nullptr;
    for (const auto& output : connection->m_outputs)
        connection->describe(*output);
    if (connection->roundtrip())
        return nullptr;
    return connection;
}

ScreencopyConnection::ScreencopyConnection(wl_display* display) : m_display(display) {
    static const wl_registry_listener listener = {&global, &globalRemove};
    m_registry = wl_display_get_registry(m_display);
    wl_registry_add_listener(m_registry, &listener, this);
}

ScreencopyConnection::~ScreencopyConnection() {
    m_outputs.clear();
    m_memory.clear();
    if (m_xdgOutputs)
        wl_proxy_marshal_flags(m_xdgOutputs, wayland::xdgManagerDestroy, nullptr,
                               wl_proxy_get_version(m_xdgOutputs), WL_MARSHAL_FLAG_DESTROY);
    if (m_screencopy)
        wl_proxy_marshal_flags(m_screencopy, wayland::managerDestroy, nullptr,
                               wl_proxy_get_version(m_screencopy), WL_MARSHAL_FLAG_DESTROY);
    if (m_shm)
        wl_shm_destroy(m_shm);
    if (m_registry)
        wl_registry_destroy(m_registry);
    wl_display_disconnect(m_display);
}

void ScreencopyConnection::global(void* data, wl_registry* registry, std::uint32_t name,
                                  const char* interface, std::uint32_t version) {
    auto* self = static_cast<ScreencopyConnection*>(data);
    const auto bind = [&](const wl_interface* kind, std::uint32_t newest) {
        return static_cast<wl_proxy*>(
            wl_registry_bind(registry, name, kind, std::min(version, newest)));
    };
    if (std::strcmp(interface, wl_output_interface.name) == 0) {
        auto output = std::make_unique<Output>();
        output->global = name;
        output->output = reinterpret_cast<wl_output*>(bind(&wl_output_interface, 4));
        wl_output_add_listener(output->output, &outputListener, output.get());
        // Known from the start: described once the registry has been read. Added later:
        // described now, read at the next capture's round trip.
        if (self->m_xdgOutputs)
            self->describe(*output);
        self->m_outputs.push_back(std::move(output));
        self->m_outputsAdded = true;
    } else if (std::strcmp(interface, wl_shm_interface.name) == 0 && !self->m_shm) {
        self->m_shm = reinterpret_cast<wl_shm*>(bind(&wl_shm_interface, 1));
    } else if (std::strcmp(interface, wayland::screencopyManagerInterface.name) == 0 &&
               !self->m_screencopy) {
        self->m_screencopy = bind(&wayland::screencopyManagerInterface, 3);
    } else if (std::strcmp(interface, wayland::xdgOutputManagerInterface.name) == 0 &&
               !self->m_xdgOutputs) {
        self->m_xdgOutputs = bind(&wayland::xdgOutputManagerInterface, 3);
    }
}

void ScreencopyConnection::globalRemove(void* data, wl_registry*, std::uint32_t name) {
    auto& outputs = static_cast<ScreencopyConnection*>(data)->m_outputs;
    std::erase_if(outputs, [name](const auto& output) { return output->global == name; });
}

void ScreencopyConnection::describe(Output& output) {
    if (output.xdg || !m_xdgOutputs)
        return;
    output.xdg =
        wl_proxy_marshal_flags(m_xdgOutputs, wayland::getXdgOutput, &wayland::xdgOutputInterface,
                               wl_proxy_get_version(m_xdgOutputs), 0, nullptr, output.output);
    wl_proxy_add_listener(output.xdg,
                          reinterpret_cast<void (**)(void)>(
                              const_cast<wayland::XdgOutputListener*>(&xdgOutputListener)),
                          &output);
}

Status ScreencopyConnection::connectionError() const {
    const int code = wl_display_get_error(m_display);
    return failure(QStringLiteral("the connection to it broke (%1)")
                       .arg(QString::fromLocal8Bit(std::strerror(code ? code : EPIPE))));
}

template <typename Done> Status ScreencopyConnection::dispatchUntil(Done done) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        while (wl_display_prepare_read(m_display) != 0) {
            if (wl_display_dispatch_pending(m_display) < 0)
                return connectionError();
            if (done())
                return {};
        }
        if (wl_display_flush(m_display) < 0 && errno != EAGAIN) {
            wl_display_cancel_read(m_display);
            return connectionError();
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd ready{wl_display_get_fd(m_display), POLLIN, 0};
        const int polled = left.count() > 0 ? ::poll(&ready, 1, int(left.count())) : 0;
        if (polled <= 0) {
            wl_display_cancel_read(m_display);
            if (polled < 0 && errno == EINTR)
                continue;
            return failure(
                QStringLiteral("it did not answer within %1 seconds").arg(timeout.count() / 1000));
        }
        if (wl_display_read_events(m_display) < 0 || wl_display_dispatch_pending(m_display) < 0)
            return connectionError();
    }
    return {};
}

Status ScreencopyConnection::roundtrip() {
    bool answered = false;
    static const wl_callback_listener answer = {
        [](void* data, wl_callback*, std::uint32_t) { *static_cast<bool*>(data) = true; }};
    wl_callback* sync = wl_display_sync(m_display);
    wl_callback_add_listener(sync, &answer, &answered);
    Status status = dispatchUntil([&] { return answered; });
    wl_callback_destroy(sync);
    return status;
}

void ScreencopyConnection::releaseMemory() {
    m_memory.clear();
}

ScreencopyConnection::Output* ScreencopyConnection::outputShowing(const ScreenInfo& screen) {
    for (const auto& output : m_outputs)
        if (!output->name.isEmpty() && output->name == screen.name)
            return output.get();
    for (const auto& output : m_outputs)
        if (output->placed && output->position == screen.geometry.topLeft())
            return output.get();
    return m_outputs.size() == 1 && screen.name.isEmpty() ? m_outputs.front().get() : nullptr;
}

Expected<std::vector<ScreencopyConnection::Frame>>
ScreencopyConnection::capture(const std::vector<ScreenInfo>& screens, const QRect& part) {
    // Outputs plugged in or out since the last capture, and, only if there are new
    // ones, what they say of themselves.
    m_outputsAdded = false;
    if (Status status = roundtrip())
        return *status;
    if (m_outputsAdded)
        if (Status status = roundtrip())
            return *status;

    std::vector<std::unique_ptr<Copy>> copies;
    for (const ScreenInfo& screen : screens) {
        Output* output = outputShowing(screen);
        if (!output) {
            copies.push_back(nullptr);
            continue;
        }
        auto copy = std::make_unique<Copy>();
        // Taken now: an output unplugged during the capture is gone by its end.
        copy->transform = output->transform;
        // Without the pointer, which the compositor can leave out where it draws it on
        // its own plane.
        const std::uint32_t version = wl_proxy_get_version(m_screencopy);
        copy->frame = part.isEmpty()
                          ? wl_proxy_marshal_flags(m_screencopy, wayland::captureOutput,
                                                   &wayland::screencopyFrameInterface, version, 0,
                                                   nullptr, 0, output->output)
                          : wl_proxy_marshal_flags(m_screencopy, wayland::captureOutputRegion,
                                                   &wayland::screencopyFrameInterface, version, 0,
                                                   nullptr, 0, output->output, part.x(), part.y(),
                                                   part.width(), part.height());
        wl_proxy_add_listener(copy->frame,
                              reinterpret_cast<void (**)(void)>(
                                  const_cast<wayland::ScreencopyFrameListener*>(&frameListener)),
                              copy.get());
        copies.push_back(std::move(copy));
    }
    // Every layout is offered at once: older compositors do not say when they are done.
    if (Status status = roundtrip())
        return *status;

    for (auto& copy : copies) {
        if (!copy || copy->finished)
            continue;
        if (copy->width == 0 || copy->height == 0 || copy->stride < copy->width * 4) {
            copy->finished = copy->failed = true;
            continue;
        }
        const std::size_t size = std::size_t(copy->stride) * copy->height;
        // Memory nothing else holds: neither an earlier frame's pixels (a still on
        // screen) nor another copy of this capture.
        for (auto& kept : m_memory)
            if (kept.use_count() == 1 && kept->size == size)
                copy->memory = kept;
        // An image let go of on another thread was done with there first: that comes
        // before the compositor writes into its memory again.
        std::atomic_thread_fence(std::memory_order_acquire);
        if (!copy->memory) {
            copy->memory = Memory::make(size);
            if (!copy->memory)
                return failure(QStringLiteral("kestrova has no memory to share with it"));
            m_memory.push_back(copy->memory);
        }
        copy->pool = wl_shm_create_pool(m_shm, copy->memory->fd, std::int32_t(size));
        copy->buffer = wl_shm_pool_create_buffer(copy->pool, 0, std::int32_t(copy->width),
                                                 std::int32_t(copy->height),
                                                 std::int32_t(copy->stride), copy->format);
        wl_proxy_marshal_flags(copy->frame, wayland::frameCopy, nullptr,
                               wl_proxy_get_version(copy->frame), 0, copy->buffer);
    }
    if (Status status = dispatchUntil([&] {
            return std::all_of(copies.begin(), copies.end(),
                               [](const auto& copy) { return !copy || copy->finished; });
        }))
        return *status;

    std::vector<Frame> frames;
    bool any = false;
    for (std::size_t i = 0; i < copies.size(); ++i) {
        Frame frame;
        if (const Copy* copy = copies[i].get(); copy && !copy->failed) {
            // The pixels hold their memory: a still made of them needs no copy, and the
            // next capture takes other memory while it is shown.
            frame.pixels = QImage(
                static_cast<uchar*>(copy->memory->data), int(copy->width), int(copy->height),
                qsizetype(copy->stride), imageFormat(copy->format),
                [](void* held) { delete static_cast<std::shared_ptr<Memory>*>(held); },
                new std::shared_ptr<Memory>(copy->memory));
            frame.transform = copy->transform;
            frame.yInverted = copy->yInverted;
            any = true;
        }
        frames.push_back(std::move(frame));
    }
    if (!any && !screens.empty())
        return failure(QStringLiteral("it copied none of the outputs"));
    return frames;
}

} // namespace kestrova
