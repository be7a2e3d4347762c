#include "HotKeyRecorderButton.h"

#include "KeyNames.h"
#include "VirtualKeys.h"

#include <QApplication>
#include <QKeyEvent>

namespace kestrova {

HotKeyRecorderButton::HotKeyRecorderButton(QWidget* parent) : QPushButton(parent) {
    setFocusPolicy(Qt::NoFocus);
    connect(this, &QPushButton::clicked, this, &HotKeyRecorderButton::toggleRecording);
    showStored();
}

HotKeyRecorderButton::~HotKeyRecorderButton() {
    if (m_isRecording)
        qApp->removeEventFilter(this);
}

void HotKeyRecorderButton::display(std::uint32_t code, std::uint32_t modifiers) {
    m_code = code;
    m_modifiers = modifiers;
    showStored();
}

void HotKeyRecorderButton::showStored() {
    setText(m_modifiers != 0 ? KeyNames::string(m_code, m_modifiers)
                             : QStringLiteral("Click to set…"));
}

void HotKeyRecorderButton::toggleRecording() {
    if (m_isRecording)
        stopRecording(true);
    else
        startRecording();
}

void HotKeyRecorderButton::startRecording() {
    m_isRecording = true;
    setText(QStringLiteral("Type shortcut…"));
    qApp->installEventFilter(this);
}

void HotKeyRecorderButton::stopRecording(bool restoreTitle) {
    m_isRecording = false;
    qApp->removeEventFilter(this);
    if (restoreTitle)
        showStored();
}

void HotKeyRecorderButton::hideEvent(QHideEvent* event) {
    // A recording left running in a hidden window would swallow every key press.
    if (m_isRecording)
        stopRecording(true);
    QPushButton::hideEvent(event);
}

bool HotKeyRecorderButton::eventFilter(QObject* watched, QEvent* event) {
    if (!m_isRecording)
        return QPushButton::eventFilter(watched, event);
    // Shortcut overrides come first; claim them so no other control acts on the key.
    if (event->type() == QEvent::ShortcutOverride) {
        event->accept();
        return true;
    }
    if (event->type() != QEvent::KeyPress)
        return QPushButton::eventFilter(watched, event);

    const auto* key = static_cast<QKeyEvent*>(event);
    switch (key->key()) {
    case Qt::Key_Shift:
    case Qt::Key_Control:
    case Qt::Key_Alt:
    case Qt::Key_AltGr:
    case Qt::Key_Meta:
    case Qt::Key_Super_L:
    case Qt::Key_Super_R:
    case Qt::Key_CapsLock:
    case Qt::Key_NumLock:
        return true; // a modifier on its own is half a shortcut: wait for the key
    default:
        break;
    }
    std::optional<std::uint32_t> code = VirtualKeys::fromXKeycode(key->nativeScanCode());
    if (!code)
        code = VirtualKeys::fromQtKey(key->key());
    if (code == VirtualKeys::escape || key->key() == Qt::Key_Escape) {
        stopRecording(true);
        return true;
    }
    const std::uint32_t modifiers = KeyNames::carbonModifiers(key->modifiers());
    if (modifiers == 0 || !code) {
        QApplication::beep();
        return true;
    }
    stopRecording(false);
    m_code = *code;
    m_modifiers = modifiers;
    setText(KeyNames::string(m_code, m_modifiers));
    emit onCapture(m_code, m_modifiers);
    return true;
}

} // namespace kestrova
