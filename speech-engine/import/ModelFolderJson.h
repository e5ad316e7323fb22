#pragma once

#include "speech-engine/import/ImportPlan.h"
#include "speech-engine/import/checkpoint/NemoModelConfig.h"
#include "speech-engine/import/vocabulary/Int8Agreement.h"
#include "speech-engine/import/vocabulary/ModelImport.h"

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

// The JSON files of a model folder. Each throws ModelImportError when it cannot write.
namespace ModelFolderJson {
// "metadata.json": the engine's streaming constants for the chosen context, the precision and
// prompt, where the model came from (`sha256` of the checkpoint file `checkpointName`) and, for
// int8, how closely it follows float32.
void writeMetadata(const NemoModelConfig& config, const ImportPlan& plan,
                   const ImportOptions& options, const std::string& checkpointName,
                   const std::string& sha256, const std::optional<Int8Agreement>& agreement,
                   const std::filesystem::path& file);

// "tokenizer.json": decimal id -> piece.
void writeTokenizer(const std::vector<std::string>& pieces, const std::filesystem::path& file);

// "manifest.json", written last: the size and SHA-256 of every other file under `folder`, read
// back as written (see ModelFolderManifest). Nothing is written when `cancelled` answers true;
// returns whether it was written.
bool writeManifest(const std::filesystem::path& folder, const std::function<bool()>& cancelled);
} // namespace ModelFolderJson
