#include "EditorWindowController.h"
#include "Log.h"

#include "EditorToolbar.h"
#include "EditorView.h"
#include "KeyableWindow.h"
#include "ScreenshotWriter.h"
#include "Settings.h"

#include <QApplication>
#include <QFutureWatcher>
#include <QMessageBox>
#include <QMetaMethod>
#include <QScreen>

namespace kestrova {

EditorWindowController::EditorWindowController(ScreenshotWriter& writer, QObject* parent)
    : QObject(parent), m_writer(writer) {}

EditorWindowController::~EditorWindowController() {
    if (m_window)
        m_window->close();
}

void EditorWindowController::present(const QImage& image, QScreen* screen,
                                     const QRectF& selection) {
    auto* window = new KeyableWindow(screen, KeyableWindow::Kind::editor, false);
    window->setWindowTitle(QStringLiteral("kestrova editor"));
    auto* canvas = new EditorView(image, screen, selection);
    connect(canvas, &EditorView::onDismiss, this, &EditorWindowController::dismiss);
    auto* toolbar = new EditorToolbar(canvas);
    connect(toolbar, &EditorToolbar::onCopy, this, &EditorWindowController::copy);
    connect(toolbar, &EditorToolbar::onSave, this, &EditorWindowController::performSave);
    connect(toolbar, &EditorToolbar::onClose, this, &EditorWindowController::dismiss);
    connect(canvas, &EditorView::onSelectionChanged, toolbar, [canvas, toolbar] {
        toolbar->reposition(canvas->selectionRect(), QRectF(canvas->rect()));
    });
    window->setContent(canvas);
    m_window = window;
    m_editorView = canvas;
    m_toolbar = toolbar;
    toolbar->reposition(selection, QRectF(QPointF(0, 0), QSizeF(canvas->size())));
    window->present(true);
}

void EditorWindowController::copy() {
    if (m_saving)
        return;
    if (!m_editorView) {
        dismiss();
        return;
    }
    finishInBackground(m_writer.copyToClipboard(m_editorView->flattenJob()), Output::copy);
}

void EditorWindowController::performSave() {
    if (m_saving || !m_editorView)
        return;
    // The settings of this moment; the pixels are made after the editor has gone.
    const Settings& settings = Settings::shared();
    const ScreenshotWriter::Target target{settings.imageFormat(), settings.saveFolderURL()};
    finishInBackground(m_writer.save(m_editorView->flattenJob(), target)
                           .then([](const Expected<QString>& saved) -> Status {
                               return saved ? Status() : Status(saved.error());
                           }),
                       Output::save);
}

void EditorWindowController::finishInBackground(QFuture<Status> work, Output output) {
    m_saving = true;
    if (m_window)
        m_window->hide();
    emit onSaving();

    auto* watcher = new QFutureWatcher<Status>(this);
    connect(watcher, &QFutureWatcherBase::finished, this, [this, watcher, output] {
        watcher->deleteLater();
        m_saving = false;
        const Status failure = watcher->result();
        if (!failure) {
            qCDebug(lcEditor) << (output == Output::save ? "saved" : "copied");
            dismiss();
            return;
        }
        m_failure = failure->description;
        m_failedOutput = output;
        qCWarning(lcEditor, "%s failed — %s", output == Output::save ? "save" : "copy",
                  qPrintable(m_failure));
        // Nothing is lost: the editor comes back with its capture and annotations, and
        // the user can try the other way out, or fix the folder and save again.
        if (isSignalConnected(QMetaMethod::fromSignal(&EditorWindowController::onSaveFailed)))
            emit onSaveFailed();
        else
            restoreAfterFailedSave();
    });
    watcher->setFuture(work);
}

void EditorWindowController::restoreAfterFailedSave() {
    if (!m_window) { // gone with its screen: nothing left to show, so free the owner's slot
        dismiss();
        return;
    }
    m_window->present(true);
    auto* alert = new QMessageBox(QMessageBox::Warning, QStringLiteral("kestrova"),
                                  m_failedOutput == Output::save
                                      ? QStringLiteral("kestrova couldn't save the screenshot")
                                      : QStringLiteral("kestrova couldn't copy the screenshot"),
                                  QMessageBox::Ok, m_window);
    alert->setAttribute(Qt::WA_DeleteOnClose);
    alert->setInformativeText(m_failure);
    if (EditorView* view = m_editorView)
        connect(alert, &QMessageBox::finished, view, [view] { view->setFocus(); });
    alert->open();
}

void EditorWindowController::regainKeyboard() {
    if (m_window && m_window->isVisible())
        m_window->present(true);
}

void EditorWindowController::dismiss() {
    if (m_window)
        m_window->close();
    m_window = nullptr;
    m_editorView = nullptr;
    m_toolbar = nullptr;
    if (!m_dismissed) {
        m_dismissed = true;
        emit onDismiss();
    }
}

} // namespace kestrova
