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

    // A failure of the program's own, of a kind (an enumeration) in `domain`.
    template <typename Kind> static Error of(const char* domain, Kind kind, QString description) {
        return Error{std::move(description), QLatin1String(domain), static_cast<int>(kind)};
    }
    template <typename Kind> bool is(const char* domain, Kind kind) const {
        return this->domain == QLatin1String(domain) && code == static_cast<int>(kind);
    }
};

} // namespace kestrova
