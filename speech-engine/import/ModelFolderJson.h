#pragma once

#include "speech-engine/import/ImportPlan.h"
#include "speech-engine/import/checkpoint/NemoModelConfig.h"
#include "speech-engine/import/vocabulary/ModelImport.h"

#include <filesystem>
#include <string>
#include <vector>

// The JSON files of a model folder. Each throws ModelImportError when it cannot write.
namespace ModelFolderJson {
// "metadata.json": the engine's streaming constants for the chosen context, the precision and
// prompt, and where the model came from (`sha256` of the checkpoint file `checkpointName`).
void writeMetadata(const NemoModelConfig& config, const ImportPlan& plan,
                   const ImportOptions& options, const std::string& checkpointName,
                   const std::string& sha256, const std::filesystem::path& file);

// "tokenizer.json": decimal id -> piece.
void writeTokenizer(const std::vector<std::string>& pieces, const std::filesystem::path& file);
} // namespace ModelFolderJson
