#include "SettingsWindowController.h"

#include "HotKeyRecorderButton.h"
#include "LaunchAtLogin.h"
#include "LaunchAtLoginAlert.h"
#include "Palette.h"
#include "Settings.h"
#include "SwatchButton.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QResizeEvent>
#include <QScreen>
#include <QVBoxLayout>

namespace kestrova {

namespace {

// A label that elides its text in the middle to whatever width it is given.
class ElidingLabel final : public QLabel {
public:
    using QLabel::QLabel;
    void setFullText(const QString& text) {
        m_full = text;
        setToolTip(text);
        refresh();
    }

protected:
    void resizeEvent(QResizeEvent* event) override {
        QLabel::resizeEvent(event);
        refresh();
    }

private:
    void refresh() { setText(fontMetrics().elidedText(m_full, Qt::ElideMiddle, width())); }
    QString m_full;
};

QWidget* labeledRow(const QString& title, QWidget* control) {
    auto* row = new QWidget;
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(12);
    auto* label = new QLabel(title);
    label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    label->setFixedWidth(120);
    label->setForegroundRole(QPalette::PlaceholderText); // the secondary label colour
    layout->addWidget(label, 0, Qt::AlignVCenter);
    layout->addWidget(control, 1, Qt::AlignVCenter);
    row->setFixedWidth(400);
    return row;
}

QWidget* hbox(std::initializer_list<QWidget*> widgets, int spacing) {
    auto* box = new QWidget;
    auto* layout = new QHBoxLayout(box);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(spacing);
    for (QWidget* w : widgets)
        layout->addWidget(w);
    return box;
}

} // namespace

SettingsWindowController::SettingsWindowController(QObject* parent) : QObject(parent) {}

SettingsWindowController::~SettingsWindowController() = default;

QString SettingsWindowController::abbreviateHome(const QString& path) {
    const QString home = QDir::homePath();
    if (path == home)
        return QStringLiteral("~");
    if (path.startsWith(home + u'/'))
        return u'~' + path.mid(home.size());
    return path;
}

void SettingsWindowController::show() {
    if (!m_window)
        build();
    syncFromSettings();
    m_window->show();
    m_window->raise();
    m_window->activateWindow();
}

void SettingsWindowController::build() {
    m_hotKeyButton = new HotKeyRecorderButton;
    connect(m_hotKeyButton, &HotKeyRecorderButton::onCapture, &Settings::shared(),
            &Settings::setHotKey);
    auto* clear = new QPushButton(QStringLiteral("Clear"));
    connect(clear, &QPushButton::clicked, this, &SettingsWindowController::clearHotKey);

    auto* choose = new QPushButton(QStringLiteral("Choose…"));
    connect(choose, &QPushButton::clicked, this, &SettingsWindowController::chooseFolder);
    auto* folderLabel = new ElidingLabel;
    folderLabel->setMinimumWidth(40);
    folderLabel->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    m_folderPathLabel = folderLabel;

    m_formatPopup = new QComboBox;
    for (const ImageFormat format : allImageFormats)
        m_formatPopup->addItem(displayName(format));
    connect(m_formatPopup, &QComboBox::activated, this, &SettingsWindowController::formatChanged);

    m_launchCheckbox = new QCheckBox(QStringLiteral("Launch kestrova at login"));
    connect(m_launchCheckbox, &QCheckBox::clicked, this, &SettingsWindowController::launchToggled);

    auto* thickness = new QWidget;
    auto* thicknessLayout = new QHBoxLayout(thickness);
    thicknessLayout->setContentsMargins(0, 0, 0, 0);
    thicknessLayout->setSpacing(0);
    m_thicknessControl = new QButtonGroup(thickness);
    const QStringList labels{QStringLiteral("Thin"), QStringLiteral("Medium"),
                             QStringLiteral("Thick")};
    for (int i = 0; i < labels.size(); ++i) {
        auto* segment = new QPushButton(labels[i]);
        segment->setCheckable(true);
        m_thicknessControl->addButton(segment, i);
        thicknessLayout->addWidget(segment);
    }
    connect(m_thicknessControl, &QButtonGroup::idClicked, this,
            &SettingsWindowController::thicknessChanged);

    auto* swatchRow = new QWidget;
    auto* swatchLayout = new QHBoxLayout(swatchRow);
    swatchLayout->setContentsMargins(0, 0, 0, 0);
    swatchLayout->setSpacing(4);
    for (std::size_t i = 0; i < Palette::colors().size(); ++i) {
        auto* swatch = new SwatchButton(Palette::colors()[i], static_cast<int>(i));
        connect(swatch, &QPushButton::clicked, this, [this, swatch] { colorChosen(swatch); });
        m_swatches.push_back(swatch);
        swatchLayout->addWidget(swatch);
    }
    swatchLayout->addStretch();

    m_window =
        std::make_unique<QWidget>(nullptr, Qt::Window | Qt::WindowTitleHint |
                                               Qt::WindowCloseButtonHint | Qt::CustomizeWindowHint);
    m_window->setWindowTitle(QStringLiteral("kestrova Settings"));
    m_window->setAttribute(Qt::WA_QuitOnClose, false);
    auto* column = new QVBoxLayout(m_window.get());
    column->setContentsMargins(20, 20, 20, 20);
    column->setSpacing(14);
    column->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    column->addWidget(
        labeledRow(QStringLiteral("Global hotkey"), hbox({m_hotKeyButton, clear}, 8)));
    column->addWidget(labeledRow(QStringLiteral("Save folder"), hbox({folderLabel, choose}, 8)));
    column->addWidget(labeledRow(QStringLiteral("Image format"), m_formatPopup));
    column->addWidget(labeledRow(QStringLiteral("Startup"), m_launchCheckbox));
    column->addWidget(labeledRow(QStringLiteral("Default color"), swatchRow));
    column->addWidget(labeledRow(QStringLiteral("Default thickness"), thickness));
    column->setSizeConstraint(QLayout::SetFixedSize);
    m_window->adjustSize();
    // Centred once; later shows keep wherever the user moved it.
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        m_window->move(screen->availableGeometry().center() - m_window->rect().center());
}

void SettingsWindowController::syncFromSettings() {
    const Settings& settings = Settings::shared();
    m_hotKeyButton->display(settings.hotKeyCode(), settings.hotKeyModifiers());
    showFolder(settings.saveFolderURL());
    const auto formatIndex =
        std::find(allImageFormats.begin(), allImageFormats.end(), settings.imageFormat()) -
        allImageFormats.begin();
    m_formatPopup->setCurrentIndex(static_cast<int>(formatIndex));
    m_launchCheckbox->setChecked(LaunchAtLogin::isEnabled());
    const int segment = presetIndex(thicknessSteps, settings.defaultThickness()).value_or(1);
    m_thicknessControl->button(segment)->setChecked(true);
    for (SwatchButton* swatch : m_swatches)
        swatch->setSelected(swatch->index() == settings.defaultColorIndex());
}

void SettingsWindowController::showFolder(const QString& path) {
    static_cast<ElidingLabel*>(m_folderPathLabel)->setFullText(abbreviateHome(path));
}

void SettingsWindowController::clearHotKey() {
    Settings::shared().clearHotKey();
    m_hotKeyButton->display(0, 0);
}

void SettingsWindowController::chooseFolder() {
    // Not blocking: the hot key and the instance channel stay live while it is up.
    auto* chooser = new QFileDialog(m_window.get());
    chooser->setAttribute(Qt::WA_DeleteOnClose);
    chooser->setWindowTitle(QStringLiteral("Save folder"));
    chooser->setFileMode(QFileDialog::Directory);
    chooser->setOption(QFileDialog::ShowDirsOnly);
    chooser->setLabelText(QFileDialog::Accept, QStringLiteral("Choose"));
    chooser->setDirectory(Settings::shared().saveFolderURL());
    connect(chooser, &QFileDialog::accepted, this, [this, chooser] {
        if (!chooser->selectedFiles().isEmpty())
            setFolder(chooser->selectedFiles().constFirst());
    });
    chooser->open();
}

void SettingsWindowController::setFolder(const QString& folder) {
    Settings::shared().setSaveFolder(folder);
    showFolder(folder);
}

void SettingsWindowController::formatChanged(int index) {
    if (index >= 0 && index < static_cast<int>(allImageFormats.size()))
        Settings::shared().setImageFormat(allImageFormats[static_cast<std::size_t>(index)]);
}

void SettingsWindowController::launchToggled(bool on) {
    if (const Status failure = LaunchAtLogin::setEnabled(on)) {
        m_launchCheckbox->setChecked(!on);
        LaunchAtLoginAlert::show(m_window.get(), on, *failure);
    }
    emit onLaunchAtLoginChanged();
}

void SettingsWindowController::thicknessChanged(int index) {
    if (index >= 0 && index < static_cast<int>(thicknessSteps.size()))
        Settings::shared().setDefaultThickness(thicknessSteps[static_cast<std::size_t>(index)]);
}

void SettingsWindowController::colorChosen(SwatchButton* sender) {
    Settings::shared().setDefaultColorIndex(sender->index());
    for (SwatchButton* swatch : m_swatches)
        swatch->setSelected(swatch == sender);
}

} // namespace kestrova
