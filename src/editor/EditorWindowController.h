#pragma once

#include "EditorToolbar.h"
#include "EditorView.h"
#include "KeyableWindow.h"

#include <QImage>
#include <QObject>
#include <QPointer>
#include <QRectF>

#include <functional>

class QScreen;

namespace kestrova {

// One capture on screen for annotation, until the user copies, saves or leaves.
class EditorWindowController final : public QObject {
    Q_OBJECT
public:
    explicit EditorWindowController(QObject* parent = nullptr);
    ~EditorWindowController() override;

    void present(const QImage& image, QScreen* screen, const QRectF& selection,
                 std::function<void()> onDismiss);

    KeyableWindow* window() const { return m_window; }
    EditorView* editorView() const { return m_editorView; }
    EditorToolbar* toolbar() const { return m_toolbar; }

    void copy();
    void performSave();
    void dismiss();

private:
    QPointer<KeyableWindow> m_window;
    QPointer<EditorView> m_editorView;
    QPointer<EditorToolbar> m_toolbar;
    std::function<void()> m_onDismiss;
    bool m_saving = false;
};

} // namespace kestrova
