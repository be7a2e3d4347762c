#include "WaylandProtocols.h"

namespace kestrova::wayland {

namespace {

// Each message's argument types, null for arguments that are not objects.
const wl_interface* noTypes[] = {nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
const wl_interface* captureOutputTypes[] = {&screencopyFrameInterface, nullptr,
                                            &wl_output_interface};
const wl_interface* captureRegionTypes[] = {
    &screencopyFrameInterface, nullptr, &wl_output_interface, nullptr, nullptr, nullptr, nullptr};
const wl_interface* bufferTypes[] = {&wl_buffer_interface};
const wl_interface* getXdgOutputTypes[] = {&xdgOutputInterface, &wl_output_interface};

const wl_message screencopyManagerRequests[] = {
    {"capture_output", "nio", captureOutputTypes},
    {"capture_output_region", "nioiiii", captureRegionTypes},
    {"destroy", "", nullptr},
};

const wl_message screencopyFrameRequests[] = {
    {"copy", "o", bufferTypes},
    {"destroy", "", nullptr},
    {"copy_with_damage", "2o", bufferTypes},
};
const wl_message screencopyFrameEvents[] = {
    {"buffer", "uuuu", noTypes},   {"flags", "u", noTypes},      {"ready", "uuu", noTypes},
    {"failed", "", nullptr},       {"damage", "2uuuu", noTypes}, {"linux_dmabuf", "3uuu", noTypes},
    {"buffer_done", "3", nullptr},
};

const wl_message xdgOutputManagerRequests[] = {
    {"destroy", "", nullptr},
    {"get_xdg_output", "no", getXdgOutputTypes},
};

const wl_message xdgOutputRequests[] = {
    {"destroy", "", nullptr},
};
const wl_message xdgOutputEvents[] = {
    {"logical_position", "ii", noTypes},
    {"logical_size", "ii", noTypes},
    {"done", "", nullptr},
    {"name", "2s", noTypes},
    {"description", "2s", noTypes},
};

} // namespace

const wl_interface screencopyManagerInterface = {"zwlr_screencopy_manager_v1", 3, 3,
                                                 screencopyManagerRequests,    0, nullptr};
const wl_interface screencopyFrameInterface = {
    "zwlr_screencopy_frame_v1", 3, 3, screencopyFrameRequests, 7, screencopyFrameEvents};
const wl_interface xdgOutputManagerInterface = {"zxdg_output_manager_v1", 3, 2,
                                                xdgOutputManagerRequests, 0, nullptr};
const wl_interface xdgOutputInterface = {"zxdg_output_v1",  3, 1,
                                         xdgOutputRequests, 5, xdgOutputEvents};

} // namespace kestrova::wayland
