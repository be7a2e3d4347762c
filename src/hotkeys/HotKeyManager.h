#pragma once

#include "HotKeyBackend.h"

#include <cstdint>
#include <functional>
#include <memory>

namespace kestrova {

// Keeps at most one global shortcut registered and runs a handler when it is pressed.
class HotKeyManager final {
public:
    explicit HotKeyManager(std::unique_ptr<HotKeyBackend> backend = nullptr);
    ~HotKeyManager();
    HotKeyManager(const HotKeyManager&) = delete;
    HotKeyManager& operator=(const HotKeyManager&) = delete;

    // Replaces any registered shortcut. A combination the system refuses leaves nothing
    // registered and says so in one line on standard error.
    void registerHotKey(std::uint32_t keyCode, std::uint32_t modifiers,
                        std::function<void()> handler);
    void unregister();
    bool isRegistered() const { return m_registered; }

private:
    std::unique_ptr<HotKeyBackend> m_backend;
    std::function<void()> m_handler;
    bool m_registered = false;
};

} // namespace kestrova
