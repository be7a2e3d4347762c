#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kestrova {

// The client side of the running instance's channel, with nothing but the C library:
// `kestrova --capture` bound to a key usually only tells the running kestrova, and can
// do so before any of the graphical toolkit is loaded.
class InstanceClient final {
public:
    InstanceClient() = delete;

    // $XDG_RUNTIME_DIR, else a folder of our own only this user may enter; empty when
    // there is neither.
    static std::string privateFolder();
    // The graphical session, as a file name: a Wayland session by its socket (its
    // DISPLAY, if any, belongs to XWayland and may be shared), else the X display.
    static std::string sessionName();
    // The channel's socket where the session's name is short enough to be part of it;
    // nothing otherwise (the channel then names it by a hash).
    static std::optional<std::string> socketPath();
    static constexpr std::size_t longestName = 40;

    // Sends one command word and waits a few seconds for the instance's "ok".
    static bool send(const std::string& socketPath, std::string_view word);
};

} // namespace kestrova
