#include "tests/speech-engine/import/Npy.h"

#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <numeric>
#include <regex>
#include <stdexcept>

Npy Npy::read(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    const std::string all{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    const std::size_t headerLength =
        all.size() < 10 ? 0 : std::uint8_t(all[8]) | (std::uint8_t(all[9]) << 8);
    const auto header = all.substr(0, 10 + headerLength);
    std::smatch match;
    if (header.compare(0, 7, "\x93NUMPY\x01") != 0 ||
        !std::regex_search(header, match,
                           std::regex(R"('descr':\s*'<([fi])4',\s*'fortran_order':\s*False,\s*)"
                                      R"('shape':\s*\(([^)]*)\))")))
        throw std::runtime_error(path + " is no .npy 1.0 C-order array of 4-byte elements");
    Npy npy;
    const std::string dims = match[2];
    const std::regex number("\\d+");
    for (std::sregex_iterator it(dims.begin(), dims.end(), number), end; it != end; ++it)
        npy.shape.push_back(std::stoll(it->str()));
    const auto count = std::size_t(npy.elementCount());
    if (all.size() != header.size() + count * 4)
        throw std::runtime_error(path + ": data size disagrees with its shape");
    const auto copy = [&](auto& values) {
        values.resize(count);
        std::memcpy(values.data(), all.data() + header.size(), count * 4);
    };
    match[1] == "f" ? copy(npy.floats) : copy(npy.ints);
    return npy;
}

std::int64_t Npy::elementCount() const {
    return std::accumulate(shape.begin(), shape.end(), std::int64_t(1), std::multiplies<>());
}

std::string nemoFixturePath(const std::string& relative) {
    return std::string(RELAYO_SOURCE_DIR "/../shared/fixtures/nemo/") + relative;
}
