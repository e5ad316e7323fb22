#pragma once

#include "speech-engine/import/checkpoint/NemoCheckpoint.h"
#include "speech-engine/import/vocabulary/ModelImport.h"

#include <torch/script.h>

#include <string>

// A checkpoint's tensors as libtorch tensors, copies of their own or views, for the module
// builders.
namespace CheckpointTensors {

// The stored values in place, keeping the storage alive: never to be written to.
inline torch::Tensor viewOf(const CheckpointTensor& stored) {
    const auto type =
        stored.type == CheckpointTensor::Type::float32 ? torch::kFloat32 : torch::kInt64;
    auto* base = const_cast<std::byte*>(stored.storage->data()) +
                 stored.storageOffset * c10::elementSize(type);
    return torch::from_blob(
        base, stored.shape, stored.strides, [storage = stored.storage](void*) {},
        torch::TensorOptions(type));
}

inline torch::Tensor copyOf(const CheckpointTensor& stored) {
    return viewOf(stored).clone(at::MemoryFormat::Contiguous);
}

// Throws ModelImportError when the checkpoint has no tensor `name`.
inline const CheckpointTensor& named(const NemoCheckpoint& checkpoint, const std::string& name) {
    const auto found = checkpoint.weights.find(name);
    if (found == checkpoint.weights.end())
        throw ModelImportError("The checkpoint has no tensor " + name);
    return found->second;
}

inline torch::Tensor get(const NemoCheckpoint& checkpoint, const std::string& name) {
    return copyOf(named(checkpoint, name));
}

} // namespace CheckpointTensors
