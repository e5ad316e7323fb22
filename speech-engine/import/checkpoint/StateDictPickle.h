#pragma once

#include "speech-engine/import/checkpoint/NemoCheckpoint.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

// The tensors that torch.save wrote into a weights file's "data.pkl": an ordered dictionary of
// name -> tensor rebuilt from (storage, offset, size, stride). Only the pickle opcodes and
// globals such a file uses are understood, and no more values than a state dictionary needs;
// anything else is refused. Throws ModelImportError.
namespace StateDictPickle {

struct Tensor {
    std::string name;
    std::string storageKey; // entry "<folder>/data/<key>" of the weights file
    CheckpointTensor::Type type;
    std::int64_t storageElements = 0; // as the pickle declares it
    std::int64_t offset = 0;          // in elements
    std::vector<std::int64_t> shape;
    std::vector<std::int64_t> strides;
};

std::vector<Tensor> parse(std::span<const std::byte> pickle);

} // namespace StateDictPickle
