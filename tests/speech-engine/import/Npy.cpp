#include "tests/speech-engine/import/Npy.h"

#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <numeric>
#include <regex>
#include <stdexcept>

namespace {

template <typename T> std::vector<T> elementsOf(const std::string& bytes, std::int64_t count) {
    std::vector<T> values(count);
    std::memcpy(values.data(), bytes.data(), count * sizeof(T));
    return values;
}

} // namespace

Npy Npy::read(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    const std::string all{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    if (all.size() < 10 || all.compare(0, 6, "\x93NUMPY") != 0 || all[6] != 1)
        throw std::runtime_error(path + " is not a .npy 1.0 file");
    const std::size_t headerLength = std::uint8_t(all[8]) | (std::uint8_t(all[9]) << 8);
    const auto header = all.substr(10, headerLength);
    std::smatch match;
    if (!std::regex_search(header, match,
                           std::regex(R"('descr':\s*'([^']+)',\s*'fortran_order':\s*False,\s*)"
                                      R"('shape':\s*\(([^)]*)\))")))
        throw std::runtime_error(path + ": not a C-order array header");
    Npy npy;
    const std::string dims = match[2], descr = match[1];
    const std::regex number("\\d+");
    for (auto it = std::sregex_iterator(dims.begin(), dims.end(), number);
         it != std::sregex_iterator(); ++it)
        npy.shape.push_back(std::stoll(it->str()));
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
