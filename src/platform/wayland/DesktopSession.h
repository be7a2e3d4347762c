#pragma once

#include <QString>
#include <QStringList>

namespace kestrova {

// Which desktop the session runs, where Wayland desktops differ in what they offer.
class DesktopSession final {
public:
    // KDE Plasma (KWin), as the session names itself.
    static bool isPlasma() {
        return qEnvironmentVariable("XDG_CURRENT_DESKTOP")
            .split(u':')
            .contains(QLatin1String("KDE"), Qt::CaseInsensitive);
    }
};

} // namespace kestrova
