#include "EditorWindowController.h"

#include "EditorToolbar.h"
#include "EditorView.h"
#include "KeyableWindow.h"
#include "ScreenCapturer.h"

#include <QApplication>
#include <QFutureWatcher>
#include <QMessageBox>
#include <QScreen>

#include <cstdio>

namespace kestrova {

EditorWindowController::EditorWindowController(QObject* parent) : QObject(parent) {}

EditorWindowController::~EditorWindowController() {
    if (m_saving)
        QApplication::restoreOverrideCursor();
    if (m_window)
        m_window->close();
}

void EditorWindowController::present(const QImage& image, QScreen* screen, const QRectF& selection,
                                     std::function<void()> onDismiss) {
    m_onDismiss = std::move(onDismiss);
    auto* window = new KeyableWindow(screen, KeyableWindow::Kind::editor, false);
    window->setWindowTitle(QStringLiteral("kestrova editor"));
    auto* canvas = new EditorView(image, screen, selection);
    QPointer<EditorWindowController> self(this);
    canvas->onDismiss = [self] {
        if (self)
            self->dismiss();
    };
    auto* toolbar = new EditorToolbar(canvas);
    toolbar->onCopy = [self] {
        if (self)
            self->copy();
    };
    toolbar->onSave = [self] {
        if (self)
            self->performSave();
    };
    toolbar->onClose = [self] {
        if (self)
            self->dismiss();
    };
    QPointer<EditorView> weakCanvas(canvas);
    QPointer<EditorToolbar> weakToolbar(toolbar);
    canvas->onSelectionChanged = [weakCanvas, weakToolbar] {
        if (weakCanvas && weakToolbar)
            weakToolbar->reposition(weakCanvas->selectionRect(), QRectF(weakCanvas->rect()));
    };
    window->setContent(canvas);
    m_window = window;
    m_editorView = canvas;
    m_toolbar = toolbar;
    toolbar->reposition(selection, QRectF(QPointF(0, 0), QSizeF(canvas->size())));
    window->present(true);
}

void EditorWindowController::copy() {
    if (m_editorView) {
        if (const auto image = m_editorView->flatten())
            ScreenCapturer::copyToClipboard(*image);
    }
    dismiss();
}

void EditorWindowController::performSave() {
    if (m_saving)
        return;
    const std::optional<QImage> image = m_editorView ? m_editorView->flatten() : std::nullopt;
    if (!image) {
        dismiss();
        return;
    }
    // Encoding runs off the main thread; the editor waits, untouchable, until it is done.
    m_saving = true;
    m_editorView->setEnabled(false);
    QApplication::setOverrideCursor(Qt::BusyCursor);
    auto* watcher = new QFutureWatcher<Expected<QString>>(this);
    connect(watcher, &QFutureWatcherBase::finished, this, [this, watcher] {
        watcher->deleteLater();
        m_saving = false;
        QApplication::restoreOverrideCursor();
        if (m_editorView)
            m_editorView->setEnabled(true);
        const Expected<QString> saved = watcher->result();
        if (saved) {
            dismiss();
            return;
        }
        const QString description = saved.error().description;
        std::fprintf(stderr, "kestrova: save failed — %s\n", qPrintable(description));
        std::fflush(stderr);
        // Keep the editor open: the capture and its annotations are not lost, and the
        // user can copy instead or fix the folder and save again.
        QMessageBox alert(QMessageBox::Warning, QStringLiteral("kestrova"),
                          QStringLiteral("kestrova couldn't save the screenshot"), QMessageBox::Ok,
                          m_window);
        alert.setInformativeText(description);
        alert.exec();
        if (m_editorView)
            m_editorView->setFocus();
    });
    watcher->setFuture(ScreenCapturer::saveInBackground(*image));
}

void EditorWindowController::dismiss() {
    if (m_window)
        m_window->close();
    m_window = nullptr;
    m_editorView = nullptr;
    m_toolbar = nullptr;
    auto onDismiss = std::move(m_onDismiss);
    m_onDismiss = nullptr;
    if (onDismiss)
        onDismiss();
}

} // namespace kestrova
