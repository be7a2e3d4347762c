#pragma once

#include "Error.h"

#include <optional>
#include <utility>
#include <variant>

namespace kestrova {

// A value or the Error that prevented it. Small stand-in for std::expected,
// which the toolchain of our oldest supported distribution lacks.
template <typename T> class [[nodiscard]] Expected final {
public:
    // An empty result (no value and a blank error), for containers that need one.
    Expected() : m_data(std::in_place_index<1>, Error{}) {}
    Expected(T value) : m_data(std::in_place_index<0>, std::move(value)) {}
    Expected(Error error) : m_data(std::in_place_index<1>, std::move(error)) {}

    bool hasValue() const { return m_data.index() == 0; }
    explicit operator bool() const { return hasValue(); }

    T& value() { return std::get<0>(m_data); }
    const T& value() const { return std::get<0>(m_data); }
    const Error& error() const { return std::get<1>(m_data); }

private:
    std::variant<T, Error> m_data;
};

// The result of an operation with nothing to return but that can fail. An alias cannot
// carry [[nodiscard]]: every function returning one is marked itself.
using Status = std::optional<Error>;

} // namespace kestrova
