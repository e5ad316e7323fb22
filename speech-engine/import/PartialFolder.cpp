#include "speech-engine/import/PartialFolder.h"

#include "speech-engine/core/ModelFolderManifest.h"
#include "speech-engine/import/vocabulary/ModelImport.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

std::string randomSuffix() {
    std::random_device device;
    constexpr char digits[] = "0123456789abcdef";
    std::string suffix;
    for (int i = 0; i < 12; ++i)
        suffix += digits[device() % 16];
    return suffix;
}

// An import replaces only what an import made, or nothing at all.
void requireReplaceable(const fs::path& target) {
    std::error_code error;
    const auto status = fs::symlink_status(target, error);
    if (!fs::exists(status))
        return;
    if (!fs::is_directory(status))
        throw ModelImportError(target.string() + " exists and is not a folder");
    if (!fs::is_empty(target, error) &&
        !ModelFolderManifest::marksModelFolder(QString::fromStdString(target.string())))
        throw ModelImportError(target.string() + " exists and is not a model folder");
}

void syncToDisk(const fs::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    const bool synced = fd >= 0 && ::fsync(fd) == 0;
    if (fd >= 0)
        ::close(fd);
    if (!synced)
        throw ModelImportError("Cannot write " + path.string() +
                               " to the disk: " + std::strerror(errno));
}

// Every file and folder entry is on the disk before the rename makes them the model, so that a
// crash cannot leave a model folder of empty or missing files.
void syncTree(const fs::path& root) {
    for (const auto& entry : fs::recursive_directory_iterator(root))
        syncToDisk(entry.path());
    syncToDisk(root);
}

} // namespace

PartialFolder::PartialFolder(fs::path target) : m_target(std::move(target)) {
    if (m_target.filename().empty())
        m_target = m_target.parent_path();
    requireReplaceable(m_target);
    std::error_code error;
    if (m_target.has_parent_path())
        fs::create_directories(m_target.parent_path(), error);
    for (int attempt = 0; !error && attempt < 8; ++attempt) {
        m_path = m_target;
        m_path += ".partial-" + randomSuffix();
        if (fs::create_directory(m_path, error))
            return;
    }
    throw ModelImportError("Cannot create a folder beside " + m_target.string() + ": " +
                           (error ? error.message() : "names taken"));
}

PartialFolder::~PartialFolder() {
    if (!m_committed) {
        std::error_code ignored;
        fs::remove_all(m_path, ignored);
    }
}

// Swapping keeps a model at the target at every moment; the old one then leaves with the
// partial name.
void PartialFolder::commit() {
    syncTree(m_path);
    std::error_code error;
    const bool replacing = fs::exists(m_target, error);
    const int result =
        replacing ? renameat2(AT_FDCWD, m_path.c_str(), AT_FDCWD, m_target.c_str(), RENAME_EXCHANGE)
                  : std::rename(m_path.c_str(), m_target.c_str());
    if (result != 0)
        throw ModelImportError("Cannot move the model folder into " + m_target.string() + ": " +
                               std::strerror(errno));
    m_committed = !replacing;
    syncToDisk(m_target.has_parent_path() ? m_target.parent_path() : fs::path("."));
}
