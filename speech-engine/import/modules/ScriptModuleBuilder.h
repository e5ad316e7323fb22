#pragma once

#include "speech-engine/import/checkpoint/NemoCheckpoint.h"

#include <filesystem>

// Saves the model folder's preprocessor, decoder and joint: TorchScript modules of our own over
// the checkpoint's tensors, run in float32 whatever the encoder's precision. Each throws
// ModelImportError for a checkpoint whose settings these modules do not reproduce, or when the
// file cannot be written.
namespace ScriptModuleBuilder {
void savePreprocessor(const NemoCheckpoint& checkpoint, const std::filesystem::path& file);
void saveDecoder(const NemoCheckpoint& checkpoint, const std::filesystem::path& file);
void saveJoint(const NemoCheckpoint& checkpoint, const std::filesystem::path& file);
} // namespace ScriptModuleBuilder
