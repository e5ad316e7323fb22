#pragma once

#include <QJsonDocument>
#include <QString>

namespace JsonFile {
// Reads and parses a whole JSON file; throws std::runtime_error naming the file when it
// cannot be read or is not JSON.
QJsonDocument read(const QString& path);
} // namespace JsonFile
