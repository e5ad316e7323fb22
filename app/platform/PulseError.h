#pragma once

#include "app/core/ServiceError.h"

// A failure of the sound server or of the connection to it, passed on as the
// platform's own error (domain "PulseAudio", code = the libpulse error number).
class PulseError : public ServiceError {
public:
    // The code of "no such entity", e.g. a device that is gone.
    static const int noSuchEntity;

    PulseError(const QString& what, int code);
};
