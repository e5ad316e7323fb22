#include "speech-engine/core/JsonFile.h"

#include <QFile>
#include <QJsonParseError>

#include <stdexcept>

namespace JsonFile {

QJsonDocument read(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw std::runtime_error(
            QStringLiteral("Could not read %1: %2").arg(path, file.errorString()).toStdString());
    QJsonParseError parseError;
    auto document = QJsonDocument::fromJson(file.readAll(), &parseError);
    if (parseError.error != QJsonParseError::NoError)
        throw std::runtime_error(QStringLiteral("%1 is not valid JSON: %2 at offset %3")
                                     .arg(path, parseError.errorString())
                                     .arg(parseError.offset)
                                     .toStdString());
    return document;
}

} // namespace JsonFile
