#include "tests/speech-engine/import/Npy.h"

#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <numeric>
#include <regex>
#include <stdexcept>

namespace {

std::string readAll(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file)
        throw std::runtime_error("Cannot read " + path);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

std::string headerValue(const std::string& header, const std::string& pattern,
                        const std::string& path) {
    std::smatch match;
    if (!std::regex_search(header, match, std::regex(pattern)))
        throw std::runtime_error(path + ": .npy header without " + pattern);
    return match[1];
}

std::vector<std::int64_t> shapeOf(const std::string& dims) {
    std::vector<std::int64_t> shape;
    const std::regex number("\\d+");
    for (auto it = std::sregex_iterator(dims.begin(), dims.end(), number);
         it != std::sregex_iterator(); ++it)
        shape.push_back(std::stoll(it->str()));
    return shape;
}

template <typename T> std::vector<T> elementsOf(const std::string& bytes, std::int64_t count) {
    std::vector<T> values(count);
    std::memcpy(values.data(), bytes.data(), count * sizeof(T));
    return values;
}

} // namespace

Npy Npy::read(const std::string& path) {
    const auto all = readAll(path);
    if (all.size() < 10 || all.compare(0, 6, "\x93NUMPY") != 0 || all[6] != 1)
        throw std::runtime_error(path + " is not a .npy 1.0 file");
    const std::size_t headerLength = std::uint8_t(all[8]) | (std::uint8_t(all[9]) << 8);
    const auto header = all.substr(10, headerLength);
    if (header.find("'fortran_order': False") == std::string::npos)
        throw std::runtime_error(path + " is not in C order");
    Npy npy;
    npy.shape = shapeOf(headerValue(header, R"('shape':\s*\(([^)]*)\))", path));
    const auto descr = headerValue(header, R"('descr':\s*'([^']+)')", path);
    const auto data = all.substr(10 + headerLength);
    const auto count = npy.elementCount();
    if (std::int64_t(data.size()) != count * 4)
        throw std::runtime_error(path + ": data size disagrees with its shape");
    if (descr == "<f4")
        npy.floats = elementsOf<float>(data, count);
    else if (descr == "<i4")
        npy.ints = elementsOf<std::int32_t>(data, count);
    else
        throw std::runtime_error(path + ": unsupported element type " + descr);
    return npy;
}

std::int64_t Npy::elementCount() const {
    return std::accumulate(shape.begin(), shape.end(), std::int64_t(1), std::multiplies<>());
}

std::string nemoFixturePath(const std::string& relative) {
    return std::string(RELAYO_SOURCE_DIR "/../shared/fixtures/nemo/") + relative;
}
