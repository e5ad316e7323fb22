#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The "data.pkl" index torch.save writes for a state dictionary: protocol 2, an OrderedDict of
// tensors rebuilt from persistent storage references.
namespace StateDictPickleWriter {

struct Tensor {
    std::string name;
    std::string storageType; // "FloatStorage", "LongStorage"
    std::string storageKey;  // entry "<folder>/data/<key>"
    std::vector<std::int64_t> shape;
};

std::string write(const std::vector<Tensor>& tensors);

} // namespace StateDictPickleWriter
