#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <stdexcept>
#include <vector>

// The element types a multi-array can hold; models exchange 32-bit floats and integers.
enum class MultiArrayDataType { float32, float64, int32, int64 };

std::size_t bytesPerElement(MultiArrayDataType type);

template <typename T> constexpr MultiArrayDataType multiArrayDataTypeOf();
template <> constexpr MultiArrayDataType multiArrayDataTypeOf<float>() {
    return MultiArrayDataType::float32;
}
template <> constexpr MultiArrayDataType multiArrayDataTypeOf<double>() {
    return MultiArrayDataType::float64;
}
template <> constexpr MultiArrayDataType multiArrayDataTypeOf<std::int32_t>() {
    return MultiArrayDataType::int32;
}
template <> constexpr MultiArrayDataType multiArrayDataTypeOf<std::int64_t>() {
    return MultiArrayDataType::int64;
}

// A model feature: a shaped block of elements addressed through its strides (in elements),
// so that a model output that is not densely packed is read where it lies. Copies share the
// elements, like references to one model output; `createZeroed` makes a new dense array.
class MultiArray {
public:
    static MultiArray createZeroed(std::vector<std::int64_t> shape, MultiArrayDataType type);
    // Views elements owned by `owner`, which the array keeps alive.
    static MultiArray view(void* data, std::vector<std::int64_t> shape,
                           std::vector<std::int64_t> strides, MultiArrayDataType type,
                           std::shared_ptr<const void> owner);

    const std::vector<std::int64_t>& shape() const { return m_shape; }
    const std::vector<std::int64_t>& strides() const { return m_strides; }
    MultiArrayDataType dataType() const { return m_dataType; }
    std::int64_t count() const;
    bool isContiguous() const;

    // The element at index 0; throws std::invalid_argument when T is not the element type.
    template <typename T> T* data() const {
        requireType(multiArrayDataTypeOf<T>());
        return static_cast<T*>(m_data);
    }
    void* rawData() const { return m_data; }
    const std::shared_ptr<const void>& owner() const { return m_owner; }

    // Element offset of `index` through the strides; throws std::out_of_range outside the shape.
    std::int64_t offsetOf(std::span<const std::int64_t> index) const;
    template <typename T> T& at(std::initializer_list<std::int64_t> index) const {
        return data<T>()[offsetOf({index.begin(), index.size()})];
    }

    // Calls `visit` with the element offset of every index, in row-major order.
    void forEachOffset(const std::function<void(std::int64_t)>& visit) const;

    // Writes `value` to every float32 or int32 element; arrays of other types stay untouched.
    void fill(double value) const;

private:
    MultiArray() = default;
    void requireType(MultiArrayDataType type) const;

    void* m_data = nullptr;
    std::vector<std::int64_t> m_shape;
    std::vector<std::int64_t> m_strides;
    MultiArrayDataType m_dataType = MultiArrayDataType::float32;
    std::shared_ptr<const void> m_owner;
};
