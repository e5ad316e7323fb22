#pragma once

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTest>
#include <sys/stat.h>

// The permission bits of a file or folder (e.g. 0600), or -1 when it is missing.
inline int fileMode(const QString& path) {
    struct stat status {};
    if (::stat(QFile::encodeName(path).constData(), &status) != 0)
        return -1;
    return int(status.st_mode & 07777);
}

// Verifies that `path` is a file only its owner may read, named `prefix`-UUID.`suffix`, in a
// folder only its owner may enter, made for it in the temporary folder.
inline void verifyPrivateTemporaryFile(const QString& path, const QString& prefix,
                                       const QString& suffix) {
    const QFileInfo file(path);
    QCOMPARE(QFileInfo(file.absolutePath()).absolutePath(),
             QFileInfo(QDir::tempPath()).absoluteFilePath());
    QCOMPARE(fileMode(file.absolutePath()), 0700);
    QCOMPARE(fileMode(path), 0600);
    const QRegularExpression name(
        QStringLiteral("^%1-[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}\\.%2$").arg(prefix, suffix));
    QVERIFY2(name.match(file.fileName()).hasMatch(), qPrintable(file.fileName()));
}
