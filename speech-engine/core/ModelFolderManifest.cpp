#include "speech-engine/core/ModelFolderManifest.h"

#include "speech-engine/core/JsonFile.h"
#include "speech-engine/core/ModelNames.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonObject>

#include <stdexcept>

namespace {

std::optional<QString> missingFile(const QDir& folder) {
    using namespace ModelNames::NemotronStreaming;
    for (const auto file :
         {preprocessorFile, encoderPath, decoderFile, jointFile, metadata, tokenizer})
        if (!QFileInfo(folder.filePath(file)).isFile())
            return QStringLiteral("%1 is missing").arg(file);
    return std::nullopt;
}

std::optional<QString> sizeMismatch(const QDir& folder) {
    const auto manifestPath = folder.filePath(ModelNames::NemotronStreaming::manifest);
    if (!QFileInfo::exists(manifestPath))
        return std::nullopt;
    QJsonObject files;
    try {
        files = JsonFile::read(manifestPath).object().value(QLatin1String("files")).toObject();
    } catch (const std::runtime_error& error) {
        return QString::fromUtf8(error.what());
    }
    if (files.isEmpty())
        return QStringLiteral("%1 lists no files").arg(ModelNames::NemotronStreaming::manifest);
    for (auto entry = files.begin(); entry != files.end(); ++entry) {
        const auto listed = entry.value().toObject().value(QLatin1String("size")).toInteger(-1);
        const QFileInfo file(folder.filePath(entry.key()));
        if (!file.isFile() || file.size() != listed)
            return QStringLiteral("%1 is %2 bytes, not the %3 it was imported with")
                .arg(entry.key())
                .arg(file.isFile() ? file.size() : 0)
                .arg(listed);
    }
    return std::nullopt;
}

} // namespace

namespace ModelFolderManifest {

std::optional<QString> fault(const QString& folder) {
    const QDir dir(folder);
    if (auto missing = missingFile(dir))
        return missing;
    return sizeMismatch(dir);
}

std::optional<QString> mismatch(const QString& folder) {
    return sizeMismatch(QDir(folder));
}

bool marksModelFolder(const QString& folder) {
    const QDir dir(folder);
    return QFileInfo::exists(dir.filePath(ModelNames::NemotronStreaming::manifest)) ||
           !missingFile(dir);
}

} // namespace ModelFolderManifest
