#pragma once

#include "KeyableWindow.h"

#include <QPointer>

#include <vector>

class QScreen;

namespace kestrova {

// Overlay windows kept, hidden, from one selection to the next. A new full-screen
// window needs tens of megabytes of fresh drawing memory, and having the kernel hand
// that out page by page costs more than everything else between the hot key and a
// dimmed screen; a kept window shows again at once. Whoever owns the pool empties it
// when kestrova falls idle, so that an idle kestrova stays small.
class OverlayWindowPool final {
public:
    OverlayWindowPool() = default;
    ~OverlayWindowPool();
    OverlayWindowPool(const OverlayWindowPool&) = delete;
    OverlayWindowPool& operator=(const OverlayWindowPool&) = delete;

    // A hidden overlay window covering `screen`: a kept one that still fits it, or a new
    // one. The caller owns it until it hands it back; once it has taken one for each
    // screen, what is left fits none and can be cleared.
    KeyableWindow* take(QScreen* screen, bool translucent);
    // Hides `window` and keeps it for the next selection.
    void giveBack(KeyableWindow* window);
    // Lets every kept window go.
    void clear();

    std::size_t size() const;

private:
    std::vector<QPointer<KeyableWindow>> m_kept;
};

} // namespace kestrova
