#include "speech-engine/core/EnvironmentOr.h"

#include <QtGlobal>

QString environmentOr(const char* name, const QString& fallback) {
    const auto value = qEnvironmentVariable(name);
    return value.isEmpty() ? fallback : value;
}
