#pragma once

#include <QByteArray>
#include <QString>

// The one NeMo checkpoint of a hub repository, pinned to a commit.
struct HubCheckpoint {
    QString repository; // "owner/name"
    QString commit;     // 40 hexadecimal digits
    QString path;       // within the repository
    QByteArray sha256;  // lowercase hexadecimal, from the hub's large-file record
    qint64 size = 0;
};
