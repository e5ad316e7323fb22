#pragma once

#include <filesystem>

// The folder an import builds in: "<target>.partial-<random>" beside its target, a name the
// engine never takes for a model. Committed, it is flushed to the disk and takes the target's
// place in one step, replacing a model folder already there (one that ModelFolderManifest marks
// as such); otherwise it goes away with everything in it.
class PartialFolder {
public:
    // Throws ModelImportError when the target is a file or a folder that is not a model folder
    // (it is never replaced), or when the folder cannot be made.
    explicit PartialFolder(std::filesystem::path target);
    ~PartialFolder();
    PartialFolder(const PartialFolder&) = delete;
    PartialFolder& operator=(const PartialFolder&) = delete;

    const std::filesystem::path& path() const { return m_path; }

    // Throws ModelImportError when the rename fails; the folder is then still removed.
    void commit();

private:
    std::filesystem::path m_target;
    std::filesystem::path m_path;
    bool m_committed = false;
};
