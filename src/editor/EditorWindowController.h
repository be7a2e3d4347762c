#pragma once

#include "EditorToolbar.h"
#include "EditorView.h"
#include "KeyableWindow.h"

#include <QImage>
#include <QObject>
#include <QPointer>
#include <QRectF>
#include <QString>

#include <functional>

class QScreen;

namespace kestrova {

class ScreenshotWriter;

// One capture on screen for annotation, until the user copies, saves or leaves.
//
// Copy and save take the editor off the screen at once; the screenshot is made and
// written in the background. A save that fails brings the editor back exactly as it
// was, with an alert, when its owner says the screen is free (restoreAfterFailedSave()).
class EditorWindowController final : public QObject {
    Q_OBJECT
public:
    // `writer` must outlive the controller.
    explicit EditorWindowController(ScreenshotWriter& writer, QObject* parent = nullptr);
    ~EditorWindowController() override;

    void present(const QImage& image, QScreen* screen, const QRectF& selection,
                 std::function<void()> onDismiss);

    // The editor has left the screen for a save still being written: the screen is free
    // for another capture, but this controller must be kept until the save ends.
    std::function<void()> onSaving;
    // That save failed; the editor is waiting to come back (restoreAfterFailedSave()).
    // Without this callback it comes back at once.
    std::function<void()> onSaveFailed;

    KeyableWindow* window() const { return m_window; }
    EditorView* editorView() const { return m_editorView; }
    EditorToolbar* toolbar() const { return m_toolbar; }
    bool isSaving() const { return m_saving; }

    void copy();
    void performSave();
    void dismiss();
    // Shows the editor again as it was before the failed save, with the alert.
    void restoreAfterFailedSave();

private:
    ScreenshotWriter& m_writer;
    QPointer<KeyableWindow> m_window;
    QPointer<EditorView> m_editorView;
    QPointer<EditorToolbar> m_toolbar;
    std::function<void()> m_onDismiss;
    bool m_saving = false;
    QString m_failure; // the description of the failed save, until it is shown
};

} // namespace kestrova
