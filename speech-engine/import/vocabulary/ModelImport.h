#pragma once

#include <functional>
#include <optional>
#include <stdexcept>
#include <string>

// The words the importer's libraries and its callers share: what to import, how far it is, and
// how it fails. Free of Qt and of libtorch, so downloaders and command lines can use it.

enum class ModelPrecision { int8, fp32 };

// Where a checkpoint came from; recorded in the folder's "metadata.json".
struct CheckpointSource {
    std::string repository; // hub "owner/name"; empty for a local file
    std::string commit;     // resolved commit; empty for a local file
    std::string fileName;   // the checkpoint's path within the repository
    std::string sha256;     // the hub's SHA-256 of the file, which the import checks; empty for a
                            // local file
};

struct ImportOptions {
    int chunkMs = 560;
    ModelPrecision precision = ModelPrecision::int8;
    // Prompt locale of a multilingual checkpoint ("ko-KR"); refused by a checkpoint without
    // prompts, required by one with them.
    std::optional<std::string> locale;
    CheckpointSource source;
};

struct ImportProgress {
    std::string stage; // what is being done, for a person
    double fraction;   // of the whole import, in [0, 1]
};

// A checkpoint that cannot be read or imported, a refused option, or a cancelled import.
class ModelImportError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

namespace ModelImporter {
using ProgressHandler = std::function<void(const ImportProgress&)>;
using CancelCheck = std::function<bool()>;
} // namespace ModelImporter
