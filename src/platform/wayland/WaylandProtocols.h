#pragma once

// The interface tables of the two protocols a wlroots compositor offers for reading its
// outputs, written out as the protocols' generator would: Debian ships no description
// files for them. Only what kestrova uses is declared; opcodes and event order follow
// the protocols' definitions.

#include <wayland-client.h>

#include <cstdint>

namespace kestrova::wayland {

// zwlr_screencopy_manager_v1, up to version 3: copies an output into a client's buffer.
extern const wl_interface screencopyManagerInterface;
// zwlr_screencopy_frame_v1: one copy of one output.
extern const wl_interface screencopyFrameInterface;
// zxdg_output_manager_v1, up to version 3: outputs' places in the desktop and names.
extern const wl_interface xdgOutputManagerInterface;
extern const wl_interface xdgOutputInterface;

enum ScreencopyManagerRequest : std::uint32_t {
    captureOutput = 0,
    captureOutputRegion = 1,
    managerDestroy = 2
};
enum ScreencopyFrameRequest : std::uint32_t { frameCopy = 0, frameDestroy = 1 };
enum XdgOutputManagerRequest : std::uint32_t { xdgManagerDestroy = 0, getXdgOutput = 1 };
enum XdgOutputRequest : std::uint32_t { xdgOutputDestroy = 0 };

// The frame's flags: the rows arrive bottom first.
inline constexpr std::uint32_t frameYInverted = 1;

// Events of zwlr_screencopy_frame_v1, in the protocol's order.
struct ScreencopyFrameListener {
    void (*buffer)(void* data, wl_proxy* frame, std::uint32_t format, std::uint32_t width,
                   std::uint32_t height, std::uint32_t stride);
    void (*flags)(void* data, wl_proxy* frame, std::uint32_t flags);
    void (*ready)(void* data, wl_proxy* frame, std::uint32_t secondsHigh, std::uint32_t secondsLow,
                  std::uint32_t nanoseconds);
    void (*failed)(void* data, wl_proxy* frame);
    void (*damage)(void* data, wl_proxy* frame, std::uint32_t x, std::uint32_t y,
                   std::uint32_t width, std::uint32_t height);
    void (*linuxDmabuf)(void* data, wl_proxy* frame, std::uint32_t format, std::uint32_t width,
                        std::uint32_t height);
    void (*bufferDone)(void* data, wl_proxy* frame);
};

// Events of zxdg_output_v1, in the protocol's order.
struct XdgOutputListener {
    void (*logicalPosition)(void* data, wl_proxy* output, std::int32_t x, std::int32_t y);
    void (*logicalSize)(void* data, wl_proxy* output, std::int32_t width, std::int32_t height);
    void (*done)(void* data, wl_proxy* output);
    void (*name)(void* data, wl_proxy* output, const char* name);
    void (*description)(void* data, wl_proxy* output, const char* description);
};

} // namespace kestrova::wayland
