#pragma once

#include <QColor>
#include <QIcon>
#include <QString>

namespace kestrova {

// The project's own line icons, named after the symbols they stand for, tinted. The
// icon is drawn from its SVG at the size and pixel ratio of wherever it is shown, so it
// is crisp on every screen of a mixed-DPI desktop.
class LineIcon final {
public:
    static QIcon make(const QString& symbol, const QColor& tint);
};

} // namespace kestrova
