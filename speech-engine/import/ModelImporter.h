#pragma once

#include "speech-engine/import/vocabulary/ModelImport.h"

#include <filesystem>

// Turns a NeMo checkpoint (.nemo) into the speech engine's model folder. Free of Qt and of
// libtorch in its interface, so downloaders and command lines can call it.
namespace ModelImporter {
// Builds the folder beside `folder` under a temporary name and renames it into place only
// when complete; an existing folder is replaced only then. On any failure or cancel nothing
// is left behind. Throws ModelImportError.
void importCheckpoint(const std::filesystem::path& checkpoint, const std::filesystem::path& folder,
                      const ImportOptions& options, const ProgressHandler& progress = {},
                      const CancelCheck& cancelled = {});
} // namespace ModelImporter
