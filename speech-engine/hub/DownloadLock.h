#pragma once

#include <QString>

// An exclusive lock (flock) on a download's partial file, held for as long as this lives, so that
// a second download of the same file, in this process or another, is refused instead of writing
// into it too. The file is created when absent.
class DownloadLock {
public:
    // Throws ModelDownloadError when the file is locked already or cannot be opened.
    explicit DownloadLock(const QString& file);
    ~DownloadLock();
    DownloadLock(const DownloadLock&) = delete;
    DownloadLock& operator=(const DownloadLock&) = delete;

private:
    int m_fd = -1;
};
