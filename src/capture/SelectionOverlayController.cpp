#include "SelectionOverlayController.h"

#include "CaptureError.h"
#include "CaptureService.h"
#include "KeyableWindow.h"
#include "Log.h"
#include "OverlayWindowPool.h"
#include "SelectionView.h"

#include <QFutureWatcher>
#include <QGuiApplication>
#include <QScreen>
#include <QTimer>

namespace kestrova {

SelectionOverlayController::SelectionOverlayController(CaptureService& capture, QObject* parent,
                                                       OverlayWindowPool* windows)
    : QObject(parent), m_capture(capture), m_pool(windows) {}

// Gone before the selection ended (kestrova quitting): the windows go with it, since
// the pool may already be gone too.
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
    m_capture.thaw();
    if (!backend || backend->isCompositing()) {
        present(screens, {});
        return;
    }
    // Without a compositor a translucent window reads back black: show each screen as
    // it is now, and hand exactly that image on. Some systems answer only after asking
    // the user, so the windows come when the images do.
    std::vector<ScreenInfo> infos;
    for (const QScreen* screen : screens)
        infos.push_back(ScreenInfo::of(screen));
    const QList<QPointer<QScreen>> asked(screens.cbegin(), screens.cend());
    const QFuture<CaptureBackend::Stills> stills = backend->grabStills(infos);
    if (stills.isFinished()) { // read at once: no round through the event loop
        stillsTaken(asked, stills);
        return;
    }
    auto* watcher = new QFutureWatcher<CaptureBackend::Stills>(this);
    connect(watcher, &QFutureWatcherBase::finished, this, [this, watcher, asked] {
        watcher->deleteLater();
        stillsTaken(asked, watcher->future());
    });
    watcher->setFuture(stills);
    readyWindows(screens, *backend);
}

// While the screens are read, the windows that will show them get their drawing memory:
// made after the stills came, it would stand between them and a dimmed screen. Windows
// painted directly need none.
void SelectionOverlayController::readyWindows(const QList<QScreen*>& screens,
                                              const CaptureBackend& backend) {
    if (!m_pool || backend.paintsWindows())
        return;
    std::vector<KeyableWindow*> readied;
    for (QScreen* screen : screens) {
        KeyableWindow* window = m_pool->take(screen, false);
        window->readyDrawingMemory();
        readied.push_back(window);
    }
    for (KeyableWindow* window : readied)
        m_pool->giveBack(window);
}

void SelectionOverlayController::stillsTaken(const QList<QPointer<QScreen>>& asked,
                                             const QFuture<CaptureBackend::Stills>& answer) {
    if (m_finished)
        return;
    if (answer.resultCount() == 0) { // the backend went away without an answer
        finish(nullptr, std::nullopt);
        return;
    }
    const CaptureBackend::Stills stills = answer.result();
    if (!stills) {
        if (!CaptureError::is(stills.error(), CaptureError::Kind::cancelled))
            emit onCaptureFailed(stills.error());
        finish(nullptr, std::nullopt);
        return;
    }
    // Screens unplugged while the images were taken are left out.
    QList<QScreen*> screens;
    std::vector<QImage> images;
    const QList<QScreen*> current = QGuiApplication::screens();
    for (qsizetype i = 0; i < asked.size(); ++i) {
        if (asked[i] && current.contains(asked[i].data())) {
            screens.append(asked[i]);
            images.push_back(std::size_t(i) < stills.value().size() ? stills.value()[i] : QImage());
        }
    }
    if (screens.isEmpty()) {
        finish(nullptr, std::nullopt);
        return;
    }
    present(screens, images);
}

void SelectionOverlayController::present(const QList<QScreen*>& screens,
                                         const std::vector<QImage>& stills) {
    qCDebug(lcCapture) << "overlay on" << screens.size() << "screens,"
                       << (stills.empty() ? "live" : "over stills");
    const std::shared_ptr<CaptureBackend> backend = m_capture.backend();
    for (qsizetype i = 0; i < screens.size(); ++i) {
        QScreen* screen = screens[i];
        const QImage still = std::size_t(i) < stills.size() ? stills[i] : QImage();
        if (!still.isNull())
            m_capture.freeze(screen, still);
        KeyableWindow* window =
            m_pool ? m_pool->take(screen, still.isNull())
                   : new KeyableWindow(screen, KeyableWindow::Kind::overlay, still.isNull());
        window->setWindowTitle(QStringLiteral("kestrova selection"));
        auto* view = new SelectionView(screen, still);
        // A still can go straight into the window: no screen-sized drawing memory to be
        // supplied before the screen dims.
        const bool direct = !still.isNull() && backend && backend->paintsWindows();
        window->setPaintedDirectly(direct);
        if (direct)
            view->paintThrough(backend);
        connect(view, &SelectionView::onFinish, this,
                [this, where = QPointer<QScreen>(screen)](QRectF rect) { finish(where, rect); });
        connect(view, &SelectionView::onCancel, this, [this] { finish(nullptr, std::nullopt); });
        window->setContent(view);
        m_windows.emplace_back(window);
    }
    // Kept windows that fit no screen now (one was unplugged or changed) are of no use.
    if (m_pool)
        m_pool->clear();
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
        if (!window)
            continue;
        if (window->content())
            window->content()->releaseKeyboard();
        if (m_pool) {
            window->dropContent();
            m_pool->giveBack(window);
        } else {
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
