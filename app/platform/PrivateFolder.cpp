#include "app/platform/PrivateFolder.h"

#include "app/core/ServiceError.h"

#include <QDir>
#include <QFile>

PrivateFolder::PrivateFolder(const QString& prefix)
    : m_folder(QDir::temp().filePath(prefix + QStringLiteral("-XXXXXX"))) {}

QString PrivateFolder::writeFile(const QString& name, const QByteArray& contents) const {
    if (!m_folder.isValid())
        throw ServiceError(m_folder.errorString(), QStringLiteral("QFileDevice"),
                           QFileDevice::OpenError);
    QFile file(m_folder.filePath(name));
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly,
                   QFileDevice::ReadOwner | QFileDevice::WriteOwner) ||
        file.write(contents) != contents.size() || !file.flush())
        throw ServiceError(file.errorString(), QStringLiteral("QFileDevice"), file.error());
    return file.fileName();
}
