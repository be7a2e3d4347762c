#pragma once

#include <QColor>
#include <QIcon>
#include <QString>

namespace kestrova {

// The project's own line icons, named after the symbols they stand for, tinted.
class LineIcon final {
public:
    static QIcon make(const QString& symbol, const QColor& tint, int size, double pixelRatio);
};

} // namespace kestrova
