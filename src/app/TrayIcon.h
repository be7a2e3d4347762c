#pragma once

#include <QIcon>

namespace kestrova {

// kestrova's camera-viewfinder icon at the sizes trays ask for.
class TrayIcon final {
public:
    static QIcon make();
};

} // namespace kestrova
