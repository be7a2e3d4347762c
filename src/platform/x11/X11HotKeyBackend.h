#pragma once

#include "HotKeyBackend.h"

#include <QAbstractNativeEventFilter>

#include <cstdint>
#include <optional>
#include <vector>

struct xcb_connection_t;

namespace kestrova {

// Grabs the shortcut on the root window of Qt's own X connection (again with NumLock
// and CapsLock held, which X counts as modifiers) and reports its presses.
class X11HotKeyBackend final : public HotKeyBackend, public QAbstractNativeEventFilter {
public:
    // Needs the application's X connection; none on other platforms.
    static std::unique_ptr<X11HotKeyBackend> create();
    ~X11HotKeyBackend() override;

    [[nodiscard]] Status grab(std::uint32_t virtualKey, std::uint32_t carbonModifiers) override;
    void release() override;

    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;

private:
    explicit X11HotKeyBackend(xcb_connection_t* connection);

    struct Masks {
        std::uint16_t super = 0;
        std::uint16_t alt = 0;
        std::uint16_t numLock = 0;
    };
    Masks readModifierMasks() const;
    [[nodiscard]] Status grabCurrent();
    void ungrabCurrent();
    std::uint16_t xModifiers(std::uint32_t carbon) const;
    std::vector<std::uint16_t> lockVariants() const;
    QString lockName(std::uint16_t lock) const;

    xcb_connection_t* m_connection;
    std::uint32_t m_root = 0;
    Masks m_masks;
    std::optional<std::pair<std::uint32_t, std::uint32_t>> m_wanted; // (virtual key, carbon)
    std::uint8_t m_keycode = 0;
    std::uint16_t m_xModifiers = 0;
    std::vector<std::uint16_t> m_granted; // lock variants the server gave us
};

} // namespace kestrova
