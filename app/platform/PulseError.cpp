#include "app/platform/PulseError.h"

#include <pulse/def.h>
#include <pulse/error.h>

const int PulseError::noSuchEntity = PA_ERR_NOENTITY;

PulseError::PulseError(const QString& what, int code)
    : ServiceError(QStringLiteral("%1 (%2).").arg(what, QString::fromUtf8(pa_strerror(code))),
                   QStringLiteral("PulseAudio"), code) {}
