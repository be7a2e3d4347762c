#include "HotKeyManager.h"
#include "Log.h"

#include "KeyNames.h"

namespace kestrova {

HotKeyManager::HotKeyManager(std::unique_ptr<HotKeyBackend> backend)
    : m_backend(backend ? std::move(backend) : std::make_unique<NullHotKeyBackend>()) {
    m_backend->onPressed = [this] {
        if (m_registered && m_handler)
            m_handler();
    };
}

HotKeyManager::~HotKeyManager() {
    unregister();
    m_backend->onPressed = nullptr;
}

void HotKeyManager::registerHotKey(std::uint32_t keyCode, std::uint32_t modifiers,
                                   std::function<void()> handler) {
    m_handler = std::move(handler);
    unregister();
    // A shortcut without Ctrl, Alt, Shift or Super would take a plain key from every
    // application. The recorder never makes one; a hand-edited file can.
    constexpr std::uint32_t known =
        carbon::cmdKey | carbon::shiftKey | carbon::optionKey | carbon::controlKey;
    if ((modifiers & known) == 0) {
        qCWarning(lcHotKey,
                  "the stored shortcut has no modifier key (modifiers %u); no shortcut is "
                  "registered. Choose one in kestrova's settings",
                  modifiers);
        return;
    }
    if (const Status failure = m_backend->grab(keyCode, modifiers)) {
        qCWarning(lcHotKey, "couldn't register the shortcut %s — %s",
                  qPrintable(KeyNames::string(keyCode, modifiers)),
                  qPrintable(failure->description));
        return;
    }
    m_registered = true;
    qCDebug(lcHotKey) << "registered" << KeyNames::string(keyCode, modifiers);
}

void HotKeyManager::unregister() {
    if (!m_registered)
        return;
    m_backend->release();
    m_registered = false;
}

} // namespace kestrova
