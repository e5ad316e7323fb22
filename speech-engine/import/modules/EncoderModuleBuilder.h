#pragma once

#include "speech-engine/import/checkpoint/NemoCheckpoint.h"
#include "speech-engine/import/vocabulary/ModelImport.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <utility>

// Saves the model folder's encoder: one cache-aware streaming step of the checkpoint's
// FastConformer, a TorchScript module of our own over the checkpoint's tensors, for the
// attention context `attContext` = {left, right} (one the checkpoint lists). Its channel cache
// holds each layer's projected keys and values, [1, layers, left, 2·d_model]. int8 quantizes the
// linear layers and pointwise convolutions of the Conformer layers, run by the int8 operator
// ModelRunner registers, after moving the outlier channels of the layer norms before them halfway
// into their weights. With a prompt index, the output frames are those after the prompt projection.
// Throws ModelImportError for settings it does not reproduce, missing tensors, or a file it cannot
// write.
namespace EncoderModuleBuilder {
void save(const NemoCheckpoint& checkpoint, std::pair<std::int64_t, std::int64_t> attContext,
          ModelPrecision precision, std::optional<std::int64_t> promptIndex,
          const std::filesystem::path& file);
} // namespace EncoderModuleBuilder
