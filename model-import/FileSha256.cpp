#include "model-import/FileSha256.h"

#include "model-import/ModelImporter.h"

#include <QCryptographicHash>
#include <QFile>

std::optional<std::string> fileSha256(const std::filesystem::path& path,
                                      const std::function<bool()>& cancelled) {
    QFile file(QString::fromStdString(path.string()));
    if (!file.open(QIODevice::ReadOnly))
        throw ModelImportError("Cannot read " + path.string() + ": " +
                               file.errorString().toStdString());
    QCryptographicHash hash(QCryptographicHash::Sha256);
    constexpr qint64 blockSize = 1 << 20;
    while (!file.atEnd()) {
        if (cancelled && cancelled())
            return std::nullopt;
        const auto block = file.read(blockSize);
        if (block.isEmpty() && file.error() != QFileDevice::NoError)
            throw ModelImportError("Cannot read " + path.string() + ": " +
                                   file.errorString().toStdString());
        hash.addData(block);
    }
    return hash.result().toHex().toStdString();
}
