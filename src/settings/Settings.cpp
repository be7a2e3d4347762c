#include "Settings.h"
#include "Log.h"

#include "Palette.h"
#include "SettingsFile.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

#include <algorithm>
#include <limits>

namespace kestrova {

namespace {

constexpr auto keyHotKeyCode = "hotKeyCode";
constexpr auto keyHotKeyModifiers = "hotKeyModifiers";
constexpr auto keyImageFormat = "imageFormat";
constexpr auto keyDefaultColorIndex = "defaultColorIndex";
constexpr auto keyDefaultThickness = "defaultThickness";
constexpr auto keySaveFolderBookmark = "saveFolderBookmark";

constexpr std::uint32_t registeredHotKeyCode = 19;       // the key labelled 2
constexpr std::uint32_t registeredHotKeyModifiers = 768; // Command + Shift

QString sharedPath() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/kestrova/kestrova.conf");
}

int clampColorIndex(long long v) {
    const long long last = static_cast<long long>(Palette::colors().size()) - 1;
    return static_cast<int>(std::clamp(v, 0LL, last));
}

} // namespace

Settings& Settings::shared() {
    static Settings instance(sharedPath());
    return instance;
}

Settings::Settings(const QString& iniPath, QObject* parent) : QObject(parent), m_path(iniPath) {
    // Opening a pipe or a device would wait forever (or read forever) at every start.
    if (const std::optional<QString> why = SettingsFile::refusal(iniPath)) {
        qCWarning(lcSettings, "not reading the settings file %s: %s; using defaults",
                  qPrintable(iniPath), qPrintable(*why));
        return;
    }
    m_store = std::make_unique<QSettings>(iniPath, SettingsFile::format());
    if (m_store->status() != QSettings::NoError) {
        qCWarning(lcSettings, "the settings file %s is not readable; using defaults",
                  qPrintable(iniPath));
        return;
    }
    // Typed values are never decoded (see SettingsFile); say which ones are ignored.
    QStringList ignored;
    for (const char* key : {keyHotKeyCode, keyHotKeyModifiers, keyImageFormat, keyDefaultColorIndex,
                            keyDefaultThickness, keySaveFolderBookmark}) {
        const QVariant v = m_store->value(QLatin1String(key));
        if (v.typeId() == QMetaType::QString && v.toString().startsWith(u'@'))
            ignored << QLatin1String(key);
    }
    if (!ignored.isEmpty())
        qCWarning(lcSettings, "ignoring the unsupported values of %s in %s",
                  qPrintable(ignored.join(QStringLiteral(", "))), qPrintable(iniPath));
}

QVariant Settings::read(const char* key) const {
    if (!m_store)
        return m_session.value(QLatin1String(key));
    // A file that does not parse is treated as empty: every value is its default.
    if (m_store->status() != QSettings::NoError)
        return {};
    return m_store->value(QLatin1String(key));
}

void Settings::write(const char* key, const QVariant& value) {
    if (!m_store) {
        m_session.insert(QLatin1String(key), value);
        return;
    }
    m_store->setValue(QLatin1String(key), value);
}

void Settings::persist() {
    if (m_store)
        m_store->sync();
}

std::uint32_t Settings::readUnsigned(const char* key, std::uint32_t fallback) const {
    const QVariant v = read(key);
    if (!v.isValid())
        return fallback;
    // Values edited from outside may be anything; a value that is not a 32-bit unsigned
    // number must never register a key, so it reads as 0 (no hot key).
    bool ok = false;
    const qlonglong n = v.toString().trimmed().toLongLong(&ok);
    if (!ok || n < 0 || n > std::numeric_limits<std::uint32_t>::max())
        return 0;
    return static_cast<std::uint32_t>(n);
}

std::uint32_t Settings::hotKeyCode() const {
    return readUnsigned(keyHotKeyCode, registeredHotKeyCode);
}

std::uint32_t Settings::hotKeyModifiers() const {
    return readUnsigned(keyHotKeyModifiers, registeredHotKeyModifiers);
}

void Settings::setHotKey(std::uint32_t code, std::uint32_t modifiers) {
    write(keyHotKeyCode, static_cast<qlonglong>(code));
    write(keyHotKeyModifiers, static_cast<qlonglong>(modifiers));
    persist();
    emit hotKeyChanged();
}

void Settings::clearHotKey() {
    setHotKey(0, 0);
}

ImageFormat Settings::imageFormat() const {
    const QVariant v = read(keyImageFormat);
    const QString raw = v.typeId() == QMetaType::QString ? v.toString() : QString();
    return imageFormatFromRaw(v.isValid() ? raw : QStringLiteral("png")).value_or(ImageFormat::png);
}

void Settings::setImageFormat(ImageFormat format) {
    write(keyImageFormat, rawValue(format));
    persist();
}

int Settings::defaultColorIndex() const {
    const QVariant v = read(keyDefaultColorIndex);
    if (!v.isValid())
        return 0;
    bool ok = false;
    const qlonglong n = v.toString().trimmed().toLongLong(&ok);
    return ok ? clampColorIndex(n) : 0;
}

void Settings::setDefaultColorIndex(int index) {
    write(keyDefaultColorIndex, clampColorIndex(index));
    persist();
}

QColor Settings::defaultColor() const {
    return Palette::colors()[defaultColorIndex()];
}

double Settings::defaultThickness() const {
    const QVariant v = read(keyDefaultThickness);
    bool ok = false;
    const double t = v.isValid() ? v.toString().trimmed().toDouble(&ok) : thicknessSteps[1];
    if (v.isValid() && !ok)
        return thicknessSteps[1];
    return presetIndex(thicknessSteps, t) ? t : thicknessSteps[1];
}

void Settings::setDefaultThickness(double thickness) {
    write(keyDefaultThickness, thickness);
    persist();
}

QString Settings::defaultSaveFolder() {
    return QDir::cleanPath(QStandardPaths::writableLocation(QStandardPaths::PicturesLocation) +
                           QStringLiteral("/kestrova"));
}

QString Settings::saveFolderURL() const {
    const QVariant v = read(keySaveFolderBookmark);
    if (!v.isValid())
        return defaultSaveFolder();
    // The stored "bookmark" is the folder's absolute path; it only resolves while
    // that folder exists. Bytes that are no path (or no folder) read as the default.
    const QByteArray bytes = v.toByteArray();
    const QString path = QString::fromUtf8(bytes);
    if (bytes.contains('\0') || path.toUtf8() != bytes || !QDir::isAbsolutePath(path))
        return defaultSaveFolder();
    const QFileInfo info(path);
    if (!info.isDir())
        return defaultSaveFolder();
    return QDir::cleanPath(info.absoluteFilePath());
}

void Settings::setSaveFolder(const QString& folder) {
    const QFileInfo info(folder);
    if (folder.isEmpty() || !info.isDir())
        return; // nothing that would resolve again: keep the previous choice
    write(keySaveFolderBookmark, QDir::cleanPath(info.absoluteFilePath()).toUtf8());
    persist();
}

} // namespace kestrova
