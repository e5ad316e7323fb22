#pragma once

#include "speech-engine/import/checkpoint/NemoModelConfig.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

// One tensor of a checkpoint's weights, as stored: a view into a raw little-endian storage.
// The reader hands out every tensor contiguous in row-major order (strides say so too), so its
// elements are the product of `shape` consecutive values from `storageOffset` on.
struct CheckpointTensor {
    enum class Type { float32, int64 };
    Type type = Type::float32;
    std::vector<std::int64_t> shape;
    std::vector<std::int64_t> strides; // in elements
    std::int64_t storageOffset = 0;    // in elements
    std::shared_ptr<const std::vector<std::byte>> storage;

    // The first element of a float32 tensor.
    const float* floats() const {
        return reinterpret_cast<const float*>(storage->data()) + storageOffset;
    }
};

// Everything the model builder needs of a .nemo checkpoint, read and checked: every tensor
// the config implies is present with the shape the config implies.
struct NemoCheckpoint {
    NemoModelConfig config;
    // State-dict name -> tensor: exactly the float32 tensors the config implies (other tensors,
    // such as BatchNorm counters or a CTC head, are left out).
    std::map<std::string, CheckpointTensor> weights;
    std::vector<std::string> pieces; // SentencePiece pieces in id order
};
