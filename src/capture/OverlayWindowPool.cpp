#include "OverlayWindowPool.h"

#include <QScreen>

#include <algorithm>

namespace kestrova {

OverlayWindowPool::~OverlayWindowPool() {
    clear();
}

KeyableWindow* OverlayWindowPool::take(QScreen* screen, bool translucent) {
    // A window fits while its screen is still there with the same size and scale: its
    // drawing memory is then exactly what the screen needs.
    const auto fits = [&](const KeyableWindow* window) {
        return window->overlayScreen() == screen && window->geometry() == screen->geometry() &&
               window->devicePixelRatio() == screen->devicePixelRatio() &&
               window->testAttribute(Qt::WA_TranslucentBackground) == translucent;
    };
    for (auto it = m_kept.begin(); it != m_kept.end(); ++it) {
        if (*it && fits(*it)) {
            KeyableWindow* window = *it;
            m_kept.erase(it);
            return window;
        }
    }
    return new KeyableWindow(screen, KeyableWindow::Kind::overlay, translucent);
}

void OverlayWindowPool::giveBack(KeyableWindow* window) {
    if (!window)
        return;
    window->hide();
    m_kept.emplace_back(window);
}

void OverlayWindowPool::clear() {
    std::vector<QPointer<KeyableWindow>> kept;
    kept.swap(m_kept);
    for (const auto& window : kept)
        delete window.data();
}

std::size_t OverlayWindowPool::size() const {
    return std::size_t(
        std::count_if(m_kept.begin(), m_kept.end(), [](const auto& w) { return !w.isNull(); }));
}

} // namespace kestrova
