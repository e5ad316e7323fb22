// Stands in for the checkpoint importer until it is part of the build; replaced by it.
#include "model-import/ModelImporter.h"

namespace ModelImporter {

void importCheckpoint(const std::filesystem::path&, const std::filesystem::path&,
                      const ImportOptions&, const ProgressHandler&, const CancelCheck&) {
    throw ModelImportError("This build cannot import NeMo checkpoints yet.");
}

} // namespace ModelImporter
