#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <span>
#include <string>
#include <vector>

// Writes a zip as torch.save lays it out: stored (uncompressed) entries, each entry's data
// starting on a 64-byte boundary thanks to a padding extra field. Files up to 4 GB (no zip64).
class TorchZipWriter {
public:
    explicit TorchZipWriter(const std::filesystem::path& file);

    void add(const std::string& name, std::span<const std::byte> data);
    void add(const std::string& name, const std::string& text);
    // Writes the central directory; the file is complete only after this.
    void finish();

private:
    struct Entry {
        std::string name;
        std::uint32_t crc;
        std::uint32_t size;
        std::uint32_t offset;
    };
    std::ofstream out;
    std::uint64_t position = 0;
    std::vector<Entry> entries;

    void write(const std::string& bytes);
};
