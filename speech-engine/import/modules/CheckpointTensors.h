#pragma once

#include "speech-engine/import/checkpoint/NemoCheckpoint.h"
#include "speech-engine/import/vocabulary/ModelImport.h"

#include <torch/script.h>

#include <string>

// A checkpoint's tensors as libtorch tensors of their own, for the module builders.
namespace CheckpointTensors {

inline torch::Tensor copyOf(const CheckpointTensor& stored) {
    const auto type =
        stored.type == CheckpointTensor::Type::float32 ? torch::kFloat32 : torch::kInt64;
    auto* base = const_cast<std::byte*>(stored.storage->data()) +
                 stored.storageOffset * c10::elementSize(type);
    return torch::from_blob(base, stored.shape, stored.strides, torch::TensorOptions(type))
        .clone(at::MemoryFormat::Contiguous);
}

// Throws ModelImportError when the checkpoint has no tensor `name`.
inline torch::Tensor get(const NemoCheckpoint& checkpoint, const std::string& name) {
    const auto found = checkpoint.weights.find(name);
    if (found == checkpoint.weights.end())
        throw ModelImportError("The checkpoint has no tensor " + name);
    return copyOf(found->second);
}

} // namespace CheckpointTensors
