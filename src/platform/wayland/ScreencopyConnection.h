#pragma once

#include "Expected.h"
#include "ScreenInfo.h"

#include <QImage>
#include <QPoint>
#include <QRect>
#include <QString>

#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

struct wl_display;
struct wl_output;
struct wl_proxy;
struct wl_registry;
struct wl_shm;

namespace kestrova {

// A connection of kestrova's own to a wlroots compositor, which copies each output's
// pixels into memory kestrova hands it: no file, no permission dialog, every output
// at its own scale. Not thread-safe: one caller at a time.
class ScreencopyConnection final {
public:
    // One output's copy as the compositor made it: rows as they are in the output's
    // buffer, before the output's rotation, possibly bottom first.
    struct Frame {
        QImage pixels;     // in memory it keeps for as long as it is held; null when not copied
        int transform = 0; // wl_output's transform of the output
        bool yInverted = false;
    };

    // Protocol objects and shared memory, known only where they are used.
    struct Output;
    struct Copy;
    struct Memory;

    // Null when there is no compositor, or it offers no way to copy outputs.
    static std::unique_ptr<ScreencopyConnection> connect(const char* displayName = nullptr);
    ~ScreencopyConnection();
    ScreencopyConnection(const ScreencopyConnection&) = delete;
    ScreencopyConnection& operator=(const ScreencopyConnection&) = delete;

    // Copies the outputs showing these screens (found by name, else by position), one
    // frame each in the same order. A screen no output shows gets a null frame. With `part`
    // (in each output's own logical coordinates), only that part of each is copied: a
    // watcher reading a few pixels then costs the compositor next to nothing.
    Expected<std::vector<Frame>> capture(const std::vector<ScreenInfo>& screens,
                                         const QRect& part = {});
    // Gives back the memory frames are copied into, once no frame's pixels hold it. It is
    // otherwise kept from one capture to the next: the compositor then writes into pages
    // that exist already.
    void releaseMemory();

    static constexpr std::chrono::milliseconds timeout{5000};

private:
    explicit ScreencopyConnection(wl_display* display);
    [[nodiscard]] Status roundtrip();
    template <typename Done> [[nodiscard]] Status dispatchUntil(Done done);
    Status connectionError() const;
    Output* outputShowing(const ScreenInfo& screen);
    void describe(Output& output);

    static void global(void* data, wl_registry* registry, std::uint32_t name, const char* interface,
                       std::uint32_t version);
    static void globalRemove(void* data, wl_registry* registry, std::uint32_t name);

    wl_display* m_display;
    wl_registry* m_registry = nullptr;
    wl_shm* m_shm = nullptr;
    wl_proxy* m_screencopy = nullptr;
    wl_proxy* m_xdgOutputs = nullptr;
    std::vector<std::unique_ptr<Output>> m_outputs;
    std::vector<std::shared_ptr<Memory>> m_memory;
    bool m_outputsAdded = false; // by the events read since the flag was cleared
};

} // namespace kestrova
