#pragma once

#include <filesystem>

// A file the importer writes into its private scratch folder and removes when done, whether
// the import succeeded or not.
class ScratchFile {
public:
    explicit ScratchFile(std::filesystem::path path) : filePath(std::move(path)) {}
    ~ScratchFile();
    ScratchFile(const ScratchFile&) = delete;
    ScratchFile& operator=(const ScratchFile&) = delete;

    const std::filesystem::path& path() const { return filePath; }

private:
    std::filesystem::path filePath;
};
