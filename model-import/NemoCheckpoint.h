#pragma once

#include "model-import/NemoModelConfig.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

// One tensor of a checkpoint's weights, as stored: a view into a raw little-endian storage.
struct CheckpointTensor {
    enum class Type { float32, int64 };
    Type type = Type::float32;
    std::vector<std::int64_t> shape;
    std::vector<std::int64_t> strides; // in elements
    std::int64_t storageOffset = 0;    // in elements
    std::shared_ptr<const std::vector<std::byte>> storage;
};

// Everything the model builder needs of a .nemo checkpoint, read and checked: every tensor
// the config implies is present with the shape the config implies.
struct NemoCheckpoint {
    NemoModelConfig config;
    std::map<std::string, CheckpointTensor> weights; // state-dict name -> tensor
    std::vector<std::string> pieces;                 // SentencePiece pieces in id order
};
