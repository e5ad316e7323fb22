#pragma once

#include <cstdint>
#include <string>
#include <vector>

// One array of the NeMo fixtures: NumPy's .npy format 1.0, little-endian, C order, with
// 4-byte elements ('<f4' or '<i4'). Free of Qt and of libtorch so any test can read it.
struct Npy {
    std::vector<std::int64_t> shape;
    std::vector<float> floats;      // when the file holds '<f4'
    std::vector<std::int32_t> ints; // when the file holds '<i4'

    // Throws std::runtime_error naming the file when it cannot be read or is not such an array.
    static Npy read(const std::string& path);

    std::int64_t elementCount() const;
};

// A path inside the shared NeMo fixtures (../shared/fixtures/nemo from the repository root).
std::string nemoFixturePath(const std::string& relative);
