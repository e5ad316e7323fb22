#include "speech-engine/runtime/Int8Linear.h"

#include <immintrin.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <tuple>
#include <utility>

namespace {

constexpr auto block = Int8Linear::channelBlock;
constexpr auto group = Int8Linear::inputGroup;
constexpr auto blockBytes = block * group;

std::int64_t groups(std::int64_t inputs) {
    return (inputs + group - 1) / group;
}

std::int32_t fourCodes(const std::uint8_t* codes) {
    std::int32_t four;
    std::memcpy(&four, codes, sizeof four);
    return four;
}

// A tile multiplies `Rows` rows of planes by one block of channels: sums[row][channel].
using Tile = void (*)(const std::uint8_t* x, std::int64_t stride, const std::int8_t* w,
                      std::int64_t groups, std::int32_t* sums);

// Two 512-bit accumulators a row: each code broadcast serves 32 channels.
template <int Rows> struct VnniTile {
    __attribute__((target("avx512f,avx512bw,avx512vnni"))) static void
    run(const std::uint8_t* x, std::int64_t stride, const std::int8_t* w, std::int64_t groups,
        std::int32_t* sums);
};

template <int Rows>
__attribute__((target("avx512f,avx512bw,avx512vnni"))) void
VnniTile<Rows>::run(const std::uint8_t* x, std::int64_t stride, const std::int8_t* w,
                    std::int64_t groups, std::int32_t* sums) {
    __m512i low[Rows], high[Rows];
#pragma GCC unroll 16
    for (int r = 0; r < Rows; ++r)
        low[r] = high[r] = _mm512_setzero_si512();
    for (std::int64_t g = 0; g < groups; ++g) {
        const auto first = _mm512_loadu_si512(w + g * blockBytes);
        const auto second = _mm512_loadu_si512(w + g * blockBytes + 64);
#pragma GCC unroll 16
        for (int r = 0; r < Rows; ++r) {
            const auto codes = _mm512_set1_epi32(fourCodes(x + r * stride + g * group));
            low[r] = _mm512_dpbusd_epi32(low[r], codes, first);
            high[r] = _mm512_dpbusd_epi32(high[r], codes, second);
        }
    }
#pragma GCC unroll 16
    for (int r = 0; r < Rows; ++r) {
        _mm512_storeu_si512(sums + r * block, low[r]);
        _mm512_storeu_si512(sums + r * block + 16, high[r]);
    }
}

// AVX2 multiplies unsigned by signed bytes and adds pairs of products in 16 bits, which 8-bit
// codes up to 255 times weights would overflow. Each such code less avx2CodeOffset is taken
// instead: its magnitude (at most 128) unsigned, times the weight with the code's sign moved onto
// it (weights lie within ±127): pairs of products within 2 · 128 · 127. The sums are those of the
// codes less the offset, and the same as VNNI's once it is added back. The 7-bit planes of 14-bit
// codes need none of it: their pairs stay within 2 · 127 · 127.
constexpr std::int32_t avx2CodeOffset = 128;

template <int Rows, bool SevenBitCodes> struct Avx2Tile {
    __attribute__((target("avx2"))) static void run(const std::uint8_t* x, std::int64_t stride,
                                                    const std::int8_t* w, std::int64_t groups,
                                                    std::int32_t* sums);
};

template <int Rows, bool SevenBitCodes>
__attribute__((target("avx2"))) void
Avx2Tile<Rows, SevenBitCodes>::run(const std::uint8_t* x, std::int64_t stride, const std::int8_t* w,
                                   std::int64_t groups, std::int32_t* sums) {
    constexpr int quarters = 4;
    __m256i acc[Rows][quarters];
#pragma GCC unroll 2
    for (int r = 0; r < Rows; ++r)
        for (int q = 0; q < quarters; ++q)
            acc[r][q] = _mm256_setzero_si256();
    const auto ones = _mm256_set1_epi16(1);
    const auto offset = _mm256_set1_epi8(char(avx2CodeOffset));
    for (std::int64_t g = 0; g < groups; ++g) {
        const auto* packed = reinterpret_cast<const __m256i*>(w + g * blockBytes);
        __m256i weights[quarters];
#pragma GCC unroll 4
        for (int q = 0; q < quarters; ++q)
            weights[q] = _mm256_loadu_si256(packed + q);
#pragma GCC unroll 2
        for (int r = 0; r < Rows; ++r) {
            const auto codes = _mm256_set1_epi32(fourCodes(x + r * stride + g * group));
            const auto offsetCodes = _mm256_xor_si256(codes, offset);
            const auto magnitudes = _mm256_abs_epi8(offsetCodes);
#pragma GCC unroll 4
            for (int q = 0; q < quarters; ++q) {
                const auto pairs =
                    SevenBitCodes ? _mm256_maddubs_epi16(codes, weights[q])
                                  : _mm256_maddubs_epi16(magnitudes,
                                                         _mm256_sign_epi8(weights[q], offsetCodes));
                acc[r][q] = _mm256_add_epi32(acc[r][q], _mm256_madd_epi16(pairs, ones));
            }
        }
    }
#pragma GCC unroll 2
    for (int r = 0; r < Rows; ++r)
        for (int q = 0; q < quarters; ++q)
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(sums + r * block + 8 * q), acc[r][q]);
}
template <int Rows> using Avx2ByteTile = Avx2Tile<Rows, false>;
template <int Rows> using Avx2SevenBitTile = Avx2Tile<Rows, true>;

template <int Rows> struct PortableTile {
    static void run(const std::uint8_t* x, std::int64_t stride, const std::int8_t* w,
                    std::int64_t groups, std::int32_t* sums);
};

template <int Rows>
void PortableTile<Rows>::run(const std::uint8_t* x, std::int64_t stride, const std::int8_t* w,
                             std::int64_t groups, std::int32_t* sums) {
    std::fill_n(sums, Rows * block, 0);
    for (std::int64_t g = 0; g < groups; ++g)
        for (int r = 0; r < Rows; ++r)
            for (std::int64_t c = 0; c < block; ++c)
                for (std::int64_t i = 0; i < group; ++i)
                    sums[r * block + c] += std::int32_t(x[r * stride + g * group + i]) *
                                           w[g * blockBytes + c * group + i];
}

template <template <int> typename KernelTile, int... Rows>
constexpr std::array<Tile, sizeof...(Rows)> tiles(std::integer_sequence<int, Rows...>) {
    return {&KernelTile<Rows + 1>::run...};
}

// Tiles of 1 to n rows of planes; n keeps a tile's sums in registers: VNNI's 28 sums take the two
// planes of a 560 ms step's 7 rows in one pass over the weights.
constexpr int maxTileRows = 14;
constexpr auto vnniTiles = tiles<VnniTile>(std::make_integer_sequence<int, maxTileRows>());
constexpr auto avx2ByteTiles = tiles<Avx2ByteTile>(std::make_integer_sequence<int, 2>());
constexpr auto avx2SevenBitTiles = tiles<Avx2SevenBitTile>(std::make_integer_sequence<int, 2>());
constexpr auto portableTiles = tiles<PortableTile>(std::make_integer_sequence<int, maxTileRows>());

std::span<const Tile> tilesOf(Int8Linear::Kernel kernel, std::int64_t planesPerRow) {
    switch (kernel) {
    case Int8Linear::Kernel::avx512Vnni:
        return vnniTiles;
    case Int8Linear::Kernel::avx2:
        return planesPerRow == 1 ? std::span<const Tile>(avx2ByteTiles) : avx2SevenBitTiles;
    case Int8Linear::Kernel::portable:
        break;
    }
    return portableTiles;
}

constexpr std::pair<std::string_view, Int8Linear::Kernel> kernelNames[] = {
    {"avx512-vnni", Int8Linear::Kernel::avx512Vnni},
    {"avx2", Int8Linear::Kernel::avx2},
    {"portable", Int8Linear::Kernel::portable}};

// PyTorch's ChooseQuantizationParams for codes 0..largest over [min, max] widened to hold zero.
std::pair<float, std::int32_t> quantizationOf(float min, float max, std::int32_t largest) {
    const double qmin = 0, qmax = largest;
    min = std::min(min, 0.0f);
    max = std::max(max, 0.0f);
    double scale = (double(max) - min) / (qmax - qmin);
    if (float(scale) == 0.0f || std::isinf(1.0f / float(scale)))
        scale = 0.1;
    const double fromMin = qmin - min / scale;
    const double fromMax = qmax - max / scale;
    const double fromMinError = std::abs(qmin) - std::abs(min / scale);
    const double fromMaxError = std::abs(qmax) - std::abs(max / scale);
    const double initial = fromMinError < fromMaxError ? fromMin : fromMax;
    // Written so that a NaN (from a NaN or infinite input) takes qmin.
    const double zeroPoint = initial > qmax    ? qmax
                             : initial >= qmin ? std::nearbyint(initial)
                                               : qmin;
    return {float(scale), std::int32_t(zeroPoint)};
}

// std::nearbyint in the default rounding mode (half to even) for |v| < 2^22, which holds for
// every value scaled into a code range, in a form the compiler vectorises: the library call per
// input cost a 560 ms step's products about 3 ms of their 42.
float roundedToEven(float v) {
    constexpr float shifter = 12582912.0f; // 1.5 · 2^23: its ulp is 1
    return (v + shifter) - shifter;
}

} // namespace

std::int64_t Int8Linear::packedSize(std::int64_t outputs, std::int64_t inputs) {
    return blocks(outputs) * groups(inputs) * blockBytes;
}

void Int8Linear::pack(std::span<const std::int8_t> weights, std::int64_t outputs,
                      std::int64_t inputs, std::span<std::int8_t> packed) {
    const auto groupCount = groups(inputs);
    for (std::int64_t n = 0; n < outputs; ++n)
        for (std::int64_t k = 0; k < inputs; ++k) {
            const auto b = n / block, c = n % block, g = k / group, i = k % group;
            packed[std::size_t(((b * groupCount + g) * block + c) * group + i)] =
                weights[std::size_t(n * inputs + k)];
        }
}

std::vector<std::int32_t> Int8Linear::channelSums(std::span<const std::int8_t> weights,
                                                  std::int64_t outputs, std::int64_t inputs) {
    std::vector<std::int32_t> sums(std::size_t(outputs), 0);
    for (std::int64_t n = 0; n < outputs; ++n)
        for (std::int64_t k = 0; k < inputs; ++k)
            sums[std::size_t(n)] += weights[std::size_t(n * inputs + k)];
    return sums;
}

bool Int8Linear::runsHere(Kernel kernel) {
    switch (kernel) {
    case Kernel::avx512Vnni:
        return __builtin_cpu_supports("avx512vnni") && __builtin_cpu_supports("avx512bw");
    case Kernel::avx2:
        return __builtin_cpu_supports("avx2");
    case Kernel::portable:
        break;
    }
    return true;
}

Int8Linear::Kernel Int8Linear::bestKernel() {
    static const auto kernel = [] {
        for (const auto fastest : {Kernel::avx512Vnni, Kernel::avx2})
            if (runsHere(fastest))
                return fastest;
        return Kernel::portable;
    }();
    return kernel;
}

std::string_view Int8Linear::nameOf(Kernel kernel) {
    return std::ranges::find(kernelNames, kernel, &std::pair<std::string_view, Kernel>::second)
        ->first;
}

std::optional<Int8Linear::Kernel> Int8Linear::kernelNamed(std::string_view name) {
    const auto* named =
        std::ranges::find(kernelNames, name, &std::pair<std::string_view, Kernel>::first);
    return named == std::end(kernelNames) ? std::nullopt : std::optional(named->second);
}

Int8Linear::QuantizedInput Int8Linear::quantize(const float* x, std::int64_t rows,
                                                std::int64_t inputs, InputBits bits) {
    QuantizedInput input;
    input.planesPerRow = bits == InputBits::eight ? 1 : 2;
    input.stride = groups(inputs) * group;
    input.planes.assign(std::size_t(input.planesPerRow * rows * input.stride), 0);
    const auto largest = (1 << int(bits)) - 1;
    for (std::int64_t r = 0; r < rows; ++r) {
        const auto* row = x + r * inputs;
        const auto [min, max] = inputs > 0 ? std::minmax_element(row, row + inputs)
                                           : std::pair<const float*, const float*>{};
        const auto [scale, zeroPoint] =
            quantizationOf(min ? *min : 0.0f, max ? *max : 0.0f, largest);
        input.scales.push_back(scale);
        input.zeroPoints.push_back(zeroPoint);
        // Multiplying by the inverse scale, as oneDNN's quantizing reorder does.
        const auto inverse = float(1.0 / double(scale));
        auto* high = input.planes.data() + input.planesPerRow * r * input.stride;
        auto* low = high + input.stride;
        // NaN codes as 0 rather than reaching an undefined conversion.
        const auto offset = float(zeroPoint);
        const auto codeOf = [&](float v) {
            const auto rounded = roundedToEven(v * inverse) + offset;
            return std::int32_t(rounded >= 0.0f ? std::min(rounded, float(largest)) : 0.0f);
        };
        if (input.planesPerRow == 1) {
            for (std::int64_t k = 0; k < inputs; ++k)
                high[k] = std::uint8_t(codeOf(row[k]));
            continue;
        }
        for (std::int64_t k = 0; k < inputs; ++k) {
            const auto code = codeOf(row[k]);
            high[k] = std::uint8_t(code >> lowBits);
            low[k] = std::uint8_t(code & ((1 << lowBits) - 1));
        }
    }
    return input;
}

void Int8Linear::multiply(const QuantizedInput& input, std::int64_t rows, const Weights& weights,
                          float* y, Kernel kernel, std::int64_t firstBlock,
                          std::int64_t lastBlock) {
    const auto planes = input.planesPerRow;
    const auto tileSet = tilesOf(kernel, planes);
    const auto tileRows = std::int64_t(tileSet.size()) / planes;
    const auto codeOffset = kernel == Kernel::avx2 && planes == 1 ? avx2CodeOffset : 0;
    const auto groupCount = groups(weights.inputs);
    std::array<std::int32_t, maxTileRows * block> sums;
    for (auto b = firstBlock; b < lastBlock; ++b) {
        const auto* w = weights.packed + b * groupCount * blockBytes;
        const auto channels = std::min(block, weights.outputs - b * block);
        for (std::int64_t r0 = 0; r0 < rows; r0 += tileRows) {
            const auto count = std::min(tileRows, rows - r0);
            tileSet[std::size_t(planes * count - 1)](input.planes.data() +
                                                         planes * r0 * input.stride,
                                                     input.stride, w, groupCount, sums.data());
            for (std::int64_t r = 0; r < count; ++r) {
                const auto zeroPoint = input.zeroPoints[std::size_t(r0 + r)] - codeOffset;
                const auto scale = input.scales[std::size_t(r0 + r)];
                const auto* high = sums.data() + planes * r * block;
                for (std::int64_t c = 0; c < channels; ++c) {
                    const auto n = b * block + c;
                    const auto codes = planes == 1
                                           ? std::int64_t(high[c])
                                           : (std::int64_t(high[c]) << lowBits) + high[block + c];
                    const auto sum = codes - std::int64_t(zeroPoint) * weights.sums[n];
                    y[(r0 + r) * weights.outputs + n] =
                        float(sum) * (scale * weights.scales[n]) + weights.bias[n];
                }
            }
        }
    }
}
