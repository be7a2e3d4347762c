#pragma once

#include <QDir>
#include <QFile>
#include <QString>
#include <QTemporaryDir>

#include <unistd.h>

namespace kestrova::test {

// A folder nobody may create files in. Permissions do not stop root (CI runs as
// root), so there a folder of the kernel's that refuses new files stands in.
class UnwritableFolder final {
public:
    UnwritableFolder() {
        if (::geteuid() == 0) {
            m_path = QStringLiteral("/sys");
            return;
        }
        m_path = m_dir.path();
        QFile::setPermissions(m_path, QFileDevice::ReadOwner | QFileDevice::ExeOwner);
    }
    ~UnwritableFolder() {
        if (m_dir.isValid())
            QFile::setPermissions(m_dir.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                    QFileDevice::ExeOwner);
    }
    QString path() const { return m_path; }
    // Whether a file could be left behind there at all (not in /sys).
    bool isScratch() const { return ::geteuid() != 0; }

private:
    QTemporaryDir m_dir;
    QString m_path;
};

} // namespace kestrova::test
