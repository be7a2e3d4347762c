#pragma once

#include <QPushButton>

#include <cstdint>

namespace kestrova {

// Shows the current shortcut and, once clicked, records a new one from the next key
// press that has at least one of ⌃⌥⇧⌘. Never takes keyboard focus.
class HotKeyRecorderButton final : public QPushButton {
    Q_OBJECT
public:
    explicit HotKeyRecorderButton(QWidget* parent = nullptr);
    ~HotKeyRecorderButton() override;

    void display(std::uint32_t code, std::uint32_t modifiers);
    bool isRecording() const { return m_isRecording; }

signals:
    // A new shortcut was recorded (its key code and modifiers, as stored).
    void onCapture(std::uint32_t code, std::uint32_t modifiers);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void toggleRecording();
    void startRecording();
    void stopRecording(bool restoreTitle);
    void showStored();

    bool m_isRecording = false;
    std::uint32_t m_code = 0;
    std::uint32_t m_modifiers = 0;
};

} // namespace kestrova
