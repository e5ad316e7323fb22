#include "speech-engine/hub/DownloadLock.h"

#include "speech-engine/hub/ModelDownloadError.h"

#include <QFile>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

// Whether `fd` is still the file at `path`: a download that ends deletes or renames it, and a
// lock taken on that old file would guard nothing.
bool isStillAt(int fd, const QByteArray& path) {
    struct stat opened {};
    struct stat current {};
    return ::fstat(fd, &opened) == 0 && ::stat(path.constData(), &current) == 0 &&
           opened.st_dev == current.st_dev && opened.st_ino == current.st_ino;
}

} // namespace

DownloadLock::DownloadLock(const QString& file) {
    const auto path = QFile::encodeName(file);
    for (int attempt = 0; attempt < 8; ++attempt) {
        m_fd = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (m_fd < 0)
            throw ModelDownloadError(QStringLiteral("Could not open %1: %2")
                                         .arg(file, QString::fromUtf8(std::strerror(errno))));
        if (::flock(m_fd, LOCK_EX | LOCK_NB) != 0) {
            ::close(m_fd);
            throw ModelDownloadError(
                QStringLiteral("Another download of the same model is writing %1; wait for it to "
                               "finish.")
                    .arg(file));
        }
        if (isStillAt(m_fd, path))
            return;
        ::close(m_fd);
    }
    throw ModelDownloadError(QStringLiteral("Could not lock %1.").arg(file));
}

DownloadLock::~DownloadLock() {
    ::close(m_fd);
}
