#include "CaptureError.h"

namespace kestrova {

QString CaptureError::message(Kind kind) {
    switch (kind) {
    case Kind::noDisplay:
        return QStringLiteral("Could not find the display to capture.");
    case Kind::cropFailed:
        return QStringLiteral("Failed to crop the captured image to the selection.");
    case Kind::encodeFailed:
        return QStringLiteral("Failed to encode the captured image.");
    case Kind::cancelled:
        return QStringLiteral("The capture was cancelled.");
    }
    return {};
}

Error CaptureError::make(Kind kind) {
    return Error::of(domain, kind, message(kind));
}

bool CaptureError::is(const Error& error, Kind kind) {
    return error.is(domain, kind);
}

} // namespace kestrova
