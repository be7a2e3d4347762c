#pragma once

#include "Expected.h"

#include <cstdint>
#include <functional>

namespace kestrova {

// The system service that delivers one global shortcut to the application.
class HotKeyBackend {
public:
    virtual ~HotKeyBackend() = default;

    // Grabs the combination; on failure nothing of it stays grabbed.
    [[nodiscard]] virtual Status grab(std::uint32_t virtualKey, std::uint32_t carbonModifiers) = 0;
    // Releases whatever is grabbed; harmless when nothing is.
    virtual void release() = 0;

    // Called on the main thread for every press of the grabbed combination. Set by the
    // HotKeyManager that owns the backend, so it can never call into one that is gone.
    std::function<void()> onPressed;

protected:
    HotKeyBackend() = default;
};

// Registers nothing: for sessions without a supported service, and for tests.
class NullHotKeyBackend final : public HotKeyBackend {
public:
    [[nodiscard]] Status grab(std::uint32_t, std::uint32_t) override { return std::nullopt; }
    void release() override {}
};

} // namespace kestrova
