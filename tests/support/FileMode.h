#pragma once

#include <QFile>
#include <QString>
#include <sys/stat.h>

// The permission bits of a file or folder (e.g. 0600), or -1 when it is missing.
inline int fileMode(const QString& path) {
    struct stat status {};
    if (::stat(QFile::encodeName(path).constData(), &status) != 0)
        return -1;
    return int(status.st_mode & 07777);
}
