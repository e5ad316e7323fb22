#pragma once

#include "speech-engine/import/checkpoint/NemoModelConfig.h"
#include "speech-engine/import/vocabulary/ModelImport.h"

#include <cstdint>
#include <optional>
#include <utility>

// What an import builds from one checkpoint: the attention context that yields the requested
// chunk size and the language prompt of the requested locale.
struct ImportPlan {
    std::pair<std::int64_t, std::int64_t> attContext; // {left, right} encoder frames
    std::int64_t chunkMelFrames = 0;                  // new mel frames per chunk
    std::optional<std::int64_t> promptIndex;          // for a multilingual checkpoint

    // Throws ModelImportError for a chunk size the checkpoint does not list (naming those it
    // does), a missing or unknown locale for a prompt checkpoint, or a locale for one without.
    static ImportPlan choose(const NemoModelConfig& config, const ImportOptions& options);
};
