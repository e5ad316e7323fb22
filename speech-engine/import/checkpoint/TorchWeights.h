#pragma once

#include "speech-engine/import/checkpoint/NemoCheckpoint.h"

#include <cstddef>
#include <filesystem>
#include <map>
#include <span>
#include <string>

// Reads a state dictionary written by torch.save (a zip of "<folder>/data.pkl" and one entry per
// storage, "<folder>/data/<key>"), PyTorch 1.x or 2.x. Every tensor comes back contiguous in
// row-major order, its storage checked against the sizes the index declares. Throws
// ModelImportError.
namespace TorchWeights {
std::map<std::string, CheckpointTensor> read(const std::filesystem::path& file);
std::map<std::string, CheckpointTensor> read(std::span<const std::byte> zip);
} // namespace TorchWeights
