#pragma once

#include "speech-engine/import/checkpoint/NemoCheckpoint.h"

#include <cstddef>
#include <filesystem>
#include <map>
#include <span>
#include <string>

// Reads a state dictionary written by torch.save (a zip of "<folder>/data.pkl" and one entry per
// storage, "<folder>/data/<key>"), PyTorch 1.x or 2.x. Every tensor must be stored contiguous in
// row-major order inside its storage, which must hold the bytes the index declares; anything
// else is refused. Throws ModelImportError.
namespace TorchWeights {
std::map<std::string, CheckpointTensor> read(const std::filesystem::path& file);
std::map<std::string, CheckpointTensor> read(std::span<const std::byte> zip);
} // namespace TorchWeights
