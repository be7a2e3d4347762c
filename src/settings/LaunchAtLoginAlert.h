#pragma once

#include "Error.h"

class QWidget;

namespace kestrova {

// The alert shown when launch at login cannot be turned on or off, from the tray menu
// or the settings window. It does not block: the hot key and the instance channel stay
// live while it is up, and it deletes itself when answered.
class LaunchAtLoginAlert final {
public:
    LaunchAtLoginAlert() = delete;

    static void show(QWidget* parent, bool enabling, const Error& failure);
};

} // namespace kestrova
