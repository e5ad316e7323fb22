#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

// The SHA-256 of a file's contents in lower-case hex, read in blocks; nothing when `cancelled`,
// asked between blocks, answers true. Throws ModelImportError when the file cannot be read.
std::optional<std::string> fileSha256(const std::filesystem::path& file,
                                      const std::function<bool()>& cancelled);
