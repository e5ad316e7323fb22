#pragma once

#include <cstddef>
#include <filesystem>
#include <map>
#include <span>
#include <string>

// The members of a .nemo archive (a tar, plain or gzip-compressed) that the importer needs: the
// config and any SentencePiece model in memory, the weights extracted into a file. Refuses
// archives with members that could escape a folder (absolute names, "..", links, devices) or
// that declare absurd sizes. Throws ModelImportError.
class NemoArchive {
public:
    static constexpr const char* configMember = "model_config.yaml";
    static constexpr const char* weightsMember = "model_weights.ckpt";

    // `weightsFile` must not exist; it is created with owner-only access and left to the caller
    // to remove, also when this throws.
    static NemoArchive extract(const std::filesystem::path& archive,
                               const std::filesystem::path& weightsFile);
    static NemoArchive extract(std::span<const std::byte> archive,
                               const std::filesystem::path& weightsFile);

    const std::string& config() const { return member(configMember); }
    // A member kept in memory (the config and "*.model" files), by its name without "./".
    const std::string& member(const std::string& name) const;

private:
    std::map<std::string, std::string> smallMembers;
};
