#pragma once

#include "Error.h"

namespace kestrova {

// The capture and output failures of the program itself; the system's own failures
// pass through with their own descriptions.
class CaptureError final {
public:
    // cancelled: the user declined to share the screen; not a failure to report.
    enum class Kind { noDisplay, cropFailed, encodeFailed, cancelled };

    static QString message(Kind kind);
    static Error make(Kind kind);
    static bool is(const Error& error, Kind kind);

    static constexpr const char* domain = "kestrova.CaptureError";
};

} // namespace kestrova
