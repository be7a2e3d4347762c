#pragma once

#include "EditorToolbar.h"
#include "EditorView.h"
#include "KeyableWindow.h"

#include "Expected.h"

#include <QFuture>
#include <QImage>
#include <QObject>
#include <QPointer>
#include <QRectF>
#include <QString>

class QScreen;

namespace kestrova {

class ScreenshotWriter;

// One capture on screen for annotation, until the user copies, saves or leaves.
//
// Copy and save take the editor off the screen at once; the screenshot is made and
// written (or put on the clipboard) in the background. One that fails brings the editor
// back exactly as it was, with an alert, when its owner says the screen is free
// (restoreAfterFailedSave()).
class EditorWindowController final : public QObject {
    Q_OBJECT
public:
    // `writer` must outlive the controller.
    explicit EditorWindowController(ScreenshotWriter& writer, QObject* parent = nullptr);
    ~EditorWindowController() override;

    void present(const QImage& image, QScreen* screen, const QRectF& selection);

    KeyableWindow* window() const { return m_window; }
    EditorView* editorView() const { return m_editorView; }
    EditorToolbar* toolbar() const { return m_toolbar; }
    bool isSaving() const { return m_saving; }

    void copy();
    void performSave();
    void dismiss();
    // Shows the editor again as it was before the failed save, with the alert.
    void restoreAfterFailedSave();
    // Gives the keyboard back to the editor (or to its alert) once a window that took
    // it, such as a selection overlay, has gone.
    void regainKeyboard();

signals:
    // The editor has left the screen for a save or copy still being made: the screen is
    // free for another capture, but this controller must be kept until it ends.
    void onSaving();
    // That save or copy failed; the editor waits to come back (restoreAfterFailedSave()).
    // With nothing connected it comes back at once.
    void onSaveFailed();
    // The editor is done with, once: copied, saved, or left.
    void onDismiss();

private:
    enum class Output { save, copy };
    void finishInBackground(QFuture<Status> work, Output output);

    ScreenshotWriter& m_writer;
    QPointer<KeyableWindow> m_window;
    QPointer<EditorView> m_editorView;
    QPointer<EditorToolbar> m_toolbar;
    bool m_dismissed = false;
    bool m_saving = false;
    QString m_failure; // the description of the failed save or copy, until it is shown
    Output m_failedOutput = Output::save;
};

} // namespace kestrova
