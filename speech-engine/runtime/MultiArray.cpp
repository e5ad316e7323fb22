#include "speech-engine/runtime/MultiArray.h"

#include <algorithm>
#include <functional>
#include <numeric>
#include <string>

namespace {

std::vector<std::int64_t> denseStrides(const std::vector<std::int64_t>& shape) {
    std::vector<std::int64_t> strides(shape.size(), 1);
    for (auto dim = static_cast<std::ptrdiff_t>(shape.size()) - 2; dim >= 0; --dim) {
        strides[dim] = strides[dim + 1] * shape[dim + 1];
    }
    return strides;
}

void visitOffsets(const std::vector<std::int64_t>& shape, const std::vector<std::int64_t>& strides,
                  const std::function<void(std::int64_t)>& visit, std::size_t dim,
                  std::int64_t base) {
    if (dim == shape.size()) {
        visit(base);
        return;
    }
    for (std::int64_t i = 0; i < shape[dim]; ++i) {
        visitOffsets(shape, strides, visit, dim + 1, base + i * strides[dim]);
    }
}

template <typename T> void fillElements(const MultiArray& array, T value) {
    T* data = array.data<T>();
    if (array.isContiguous()) {
        std::fill(data, data + array.count(), value);
        return;
    }
    array.forEachOffset([&](std::int64_t offset) { data[offset] = value; });
}

} // namespace

std::size_t bytesPerElement(MultiArrayDataType type) {
    switch (type) {
    case MultiArrayDataType::float32:
    case MultiArrayDataType::int32:
        return 4;
    case MultiArrayDataType::float64:
    case MultiArrayDataType::int64:
        return 8;
    }
    return 0;
}

MultiArray MultiArray::createZeroed(std::vector<std::int64_t> shape, MultiArrayDataType type) {
    for (auto size : shape) {
        if (size < 0) {
            throw std::invalid_argument("Multi-array dimensions must not be negative");
        }
    }
    const auto count = std::accumulate(shape.begin(), shape.end(), std::int64_t{1},
                                       std::multiplies<std::int64_t>());
    // Zero-initialised 64-bit words suit every element type's alignment.
    const auto words = (static_cast<std::size_t>(count) * bytesPerElement(type) + 7) / 8;
    auto storage = std::make_shared<std::vector<std::uint64_t>>(words, 0);
    auto strides = denseStrides(shape);
    return view(storage->data(), std::move(shape), std::move(strides), type, storage);
}

MultiArray MultiArray::view(void* data, std::vector<std::int64_t> shape,
                            std::vector<std::int64_t> strides, MultiArrayDataType type,
                            std::shared_ptr<const void> owner) {
    if (shape.size() != strides.size()) {
        throw std::invalid_argument("Multi-array shape and strides differ in rank");
    }
    MultiArray array;
    array.m_data = data;
    array.m_shape = std::move(shape);
    array.m_strides = std::move(strides);
    array.m_dataType = type;
    array.m_owner = std::move(owner);
    return array;
}

std::int64_t MultiArray::count() const {
    return std::accumulate(m_shape.begin(), m_shape.end(), std::int64_t{1},
                           std::multiplies<std::int64_t>());
}

bool MultiArray::isContiguous() const {
    return m_strides == denseStrides(m_shape);
}

std::int64_t MultiArray::offsetOf(std::span<const std::int64_t> index) const {
    if (index.size() != m_shape.size()) {
        throw std::out_of_range("Multi-array index has rank " + std::to_string(index.size()) +
                                ", the array " + std::to_string(m_shape.size()));
    }
    std::int64_t offset = 0;
    for (std::size_t dim = 0; dim < index.size(); ++dim) {
        if (index[dim] < 0 || index[dim] >= m_shape[dim]) {
            throw std::out_of_range("Multi-array index " + std::to_string(index[dim]) +
                                    " outside dimension " + std::to_string(dim) + " of size " +
                                    std::to_string(m_shape[dim]));
        }
        offset += index[dim] * m_strides[dim];
    }
    return offset;
}

void MultiArray::forEachOffset(const std::function<void(std::int64_t)>& visit) const {
    if (!isContiguous()) {
        visitOffsets(m_shape, m_strides, visit, 0, 0);
        return;
    }
    for (std::int64_t offset = 0, end = count(); offset < end; ++offset) {
        visit(offset);
    }
}

void MultiArray::fill(double value) const {
    if (m_dataType == MultiArrayDataType::float32) {
        fillElements(*this, static_cast<float>(value));
    } else if (m_dataType == MultiArrayDataType::int32) {
        fillElements(*this, static_cast<std::int32_t>(value));
    }
}

void MultiArray::requireType(MultiArrayDataType type) const {
    if (type != m_dataType) {
        throw std::invalid_argument("Multi-array element type mismatch");
    }
}
