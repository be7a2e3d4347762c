#include "SelectionOverlayController.h"

#include "CaptureService.h"
#include "KeyableWindow.h"
#include "SelectionView.h"

#include <QGuiApplication>
#include <QScreen>
#include <QTimer>

namespace kestrova {

SelectionOverlayController::SelectionOverlayController(CaptureService& capture, QObject* parent)
    : QObject(parent), m_capture(capture) {}

SelectionOverlayController::~SelectionOverlayController() {
    for (const auto& window : m_windows) {
        if (window)
            window->close();
    }
}

std::vector<KeyableWindow*> SelectionOverlayController::windows() const {
    std::vector<KeyableWindow*> all;
    for (const auto& window : m_windows) {
        if (window)
            all.push_back(window);
    }
    return all;
}

void SelectionOverlayController::begin(Completion completion) {
    m_completion = std::move(completion);
    const QList<QScreen*> screens = QGuiApplication::screens();
    if (screens.isEmpty()) {
        // Nothing to select on: report "nothing" at once so later triggers still work.
        QTimer::singleShot(0, this, [this] { finish(nullptr, std::nullopt); });
        return;
    }

    const auto backend = m_capture.backend();
    const bool live = !backend || backend->isCompositing();
    m_capture.thaw();
    for (QScreen* screen : screens) {
        QImage still;
        if (!live) {
            // Without a compositor a translucent window reads back black: show the
            // screen as it is now, and hand exactly that image on.
            if (auto grabbed = backend->grab(ScreenInfo::of(screen).nativeRect())) {
                still = grabbed.value();
                m_capture.freeze(screen, still);
            }
        }
        auto* window = new KeyableWindow(screen, KeyableWindow::Kind::overlay, still.isNull());
        window->setWindowTitle(QStringLiteral("kestrova selection"));
        auto* view = new SelectionView(screen, still);
        QPointer<SelectionOverlayController> self(this);
        QPointer<QScreen> where(screen);
        view->onFinish = [self, where](QRectF rect) {
            if (self)
                self->finish(where, rect);
        };
        view->onCancel = [self] {
            if (self)
                self->finish(nullptr, std::nullopt);
        };
        window->setContent(view);
        m_windows.emplace_back(window);
    }
    // The others first, so that the first window ends up on top with the keyboard.
    for (std::size_t i = m_windows.size(); i-- > 1;)
        m_windows[i]->present(false);
    m_windows.front()->present(true);
}

void SelectionOverlayController::finish(QScreen* screen, std::optional<QRectF> rect) {
    if (m_finished)
        return;
    m_finished = true;
    for (const auto& window : m_windows) {
        if (window) {
            if (window->content())
                window->content()->releaseKeyboard();
            window->close();
        }
    }
    m_windows.clear();

    std::optional<SelectionResult> result;
    if (screen && rect && rect->width() >= 1 && rect->height() >= 1)
        result = SelectionResult{screen, *rect};
    else
        m_capture.thaw();

    Completion completion = std::move(m_completion);
    m_completion = nullptr;
    if (completion)
        completion(result);
}

} // namespace kestrova
