#pragma once

#include <QString>

// The environment variable's value, or `fallback` when it is unset or empty.
QString environmentOr(const char* name, const QString& fallback);
