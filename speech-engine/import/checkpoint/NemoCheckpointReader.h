#pragma once

#include "speech-engine/import/checkpoint/NemoCheckpoint.h"

#include <filesystem>

// Reads a NeMo .nemo checkpoint and checks it against its own config: archive, hyperparameters,
// weights and tokenizer. Throws ModelImportError with a one-line reason.
namespace NemoCheckpointReader {
// The weights are extracted into `scratchFolder` (created with owner-only access when absent)
// while they are read; the folder is left as it was found, also on failure.
NemoCheckpoint read(const std::filesystem::path& checkpoint,
                    const std::filesystem::path& scratchFolder);
} // namespace NemoCheckpointReader
