#pragma once

#include <string>

struct archive;

// The reader's ways of failing: one-line ModelImportError messages, whatever names from a
// hostile file hold.
namespace ImportFailure {
[[noreturn]] void raise(std::string message);
// libarchive's description of its last error.
std::string archiveError(archive* reader);
} // namespace ImportFailure
