#pragma once

#include <QString>

namespace kestrova {

// What a fallible operation hands back instead of its value. `domain` and `code`
// let callers recognise the program's own failures; everything else carries the
// system's description unchanged.
struct Error {
    QString description;
    QString domain = {};
    int code = 0;

    bool operator==(const Error&) const = default;
};

} // namespace kestrova
