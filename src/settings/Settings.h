#pragma once

#include "ImageFormat.h"

#include <QColor>
#include <QObject>
#include <QSettings>
#include <QString>

#include <cstdint>
#include <memory>

namespace kestrova {

// The user's preferences, read afresh from the store on every access so that a
// change takes effect at the next capture, editor or save. Reads never fail: bad or
// missing values fall back to the defaults.
class Settings final : public QObject {
    Q_OBJECT
public:
    // The name under which hot-key changes are announced.
    static constexpr const char* hotKeyChangedName = "kestrova.hotKeyChanged";

    // The store of this user: kestrova.conf under $XDG_CONFIG_HOME/kestrova/.
    static Settings& shared();

    // A store backed by the given INI file; for tests and tools.
    explicit Settings(const QString& iniPath, QObject* parent = nullptr);

    std::uint32_t hotKeyCode() const;
    std::uint32_t hotKeyModifiers() const;
    bool hasHotKey() const { return hotKeyModifiers() != 0; }
    void setHotKey(std::uint32_t code, std::uint32_t modifiers);
    void clearHotKey();

    ImageFormat imageFormat() const;
    void setImageFormat(ImageFormat format);

    int defaultColorIndex() const;
    void setDefaultColorIndex(int index);
    QColor defaultColor() const;

    double defaultThickness() const;
    void setDefaultThickness(double thickness);

    // Absolute path of the folder screenshots are saved into.
    QString saveFolderURL() const;
    static QString defaultSaveFolder();
    void setSaveFolder(const QString& folder);

    QString fileName() const { return m_path; }

signals:
    void hotKeyChanged();

private:
    QVariant read(const char* key) const;
    void write(const char* key, const QVariant& value);
    // Writes the file once per change, however many keys the change set.
    void persist();
    std::uint32_t readUnsigned(const char* key, std::uint32_t fallback) const;

    QString m_path;
    // None when the file must not be opened; changes then last for this session only.
    std::unique_ptr<QSettings> m_store;
    QVariantMap m_session;
};

} // namespace kestrova
