#include "app/translation/TokenFactoryKey.h"

#include "app/translation/EnvFile.h"

#include <QCoreApplication>
#include <QDir>

namespace TokenFactoryKey {

std::optional<QString> load() {
    const QString keyName = QStringLiteral("NEBIUS_TOKEN_FACTORY_KEY");
    const QString fromEnvironment = qEnvironmentVariable("NEBIUS_TOKEN_FACTORY_KEY");
    if (!fromEnvironment.isEmpty())
        return fromEnvironment;
    const QString executableFolder = QCoreApplication::applicationDirPath();
    for (const QString& folder :
         {QDir::currentPath(), executableFolder, QDir::cleanPath(executableFolder + "/..")}) {
        if (auto key =
                EnvFile::valueInFile(QDir(folder).filePath(QStringLiteral(".env.local")), keyName))
            return key;
    }
    return std::nullopt;
}

} // namespace TokenFactoryKey
