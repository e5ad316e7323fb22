#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <span>
#include <string>

// The members of a .nemo archive (a tar, plain or gzip-compressed) that the importer needs: the
// config and the SentencePiece model it names in memory, the weights extracted into a file; the
// rest is skipped. Refuses archives with members that could escape a folder (absolute names,
// "..", links, devices) or that declare absurd sizes. Throws ModelImportError.
namespace NemoArchive {
inline constexpr const char* configMember = "model_config.yaml";
inline constexpr const char* weightsMember = "model_weights.ckpt";

struct Members {
    std::string config;
    std::string tokenizer;
};

// The name (without "./") of the tokenizer model that a config's text names; throws
// ModelImportError for a config it cannot read.
using TokenizerOf = std::function<std::string(const std::string& config)>;

// `weightsFile` must not exist; it is created with owner-only access and left to the caller to
// remove, also when this throws.
Members extract(const std::filesystem::path& archive, const std::filesystem::path& weightsFile,
                const TokenizerOf& tokenizerOf);
Members extract(std::span<const std::byte> archive, const std::filesystem::path& weightsFile,
                const TokenizerOf& tokenizerOf);
} // namespace NemoArchive
