#pragma once

#include <QObject>
#include <QPointer>

#include <vector>

class QButtonGroup;
class QCheckBox;
class QComboBox;
class QLabel;
class QWidget;

namespace kestrova {

class HotKeyRecorderButton;
class SwatchButton;

// The settings window: every change is stored the moment it is made. Closing hides the
// window; the next show() brings the same window back, refreshed from the store.
class SettingsWindowController final : public QObject {
    Q_OBJECT
public:
    explicit SettingsWindowController(QObject* parent = nullptr);
    ~SettingsWindowController() override;

    void show();

    QWidget* window() const { return m_window.get(); }
    HotKeyRecorderButton* hotKeyButton() const { return m_hotKeyButton; }
    QLabel* folderPathLabel() const { return m_folderPathLabel; }
    QComboBox* formatPopup() const { return m_formatPopup; }
    QCheckBox* launchCheckbox() const { return m_launchCheckbox; }
    QButtonGroup* thicknessControl() const { return m_thicknessControl; }
    const std::vector<SwatchButton*>& swatches() const { return m_swatches; }

    void clearHotKey();
    void chooseFolder();
    void setFolder(const QString& folder);
    void formatChanged(int index);
    void launchToggled(bool on);
    void thicknessChanged(int index);
    void colorChosen(SwatchButton* sender);

    // "~" for the home folder, as the folder label shows it.
    static QString abbreviateHome(const QString& path);

signals:
    // Launch at login was turned on or off here (or the attempt failed).
    void onLaunchAtLoginChanged();

private:
    void build();
    void syncFromSettings();
    void showFolder(const QString& path);

    std::unique_ptr<QWidget> m_window;
    HotKeyRecorderButton* m_hotKeyButton = nullptr;
    QLabel* m_folderPathLabel = nullptr;
    QComboBox* m_formatPopup = nullptr;
    QCheckBox* m_launchCheckbox = nullptr;
    QButtonGroup* m_thicknessControl = nullptr;
    std::vector<SwatchButton*> m_swatches;
};

} // namespace kestrova
