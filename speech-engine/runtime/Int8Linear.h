#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

// y = x·Wᵀ + b with int8 weights per output channel and each row of the input quantized on its
// own range (PyTorch's choice of scale and zero point, taken per row rather than per call: one
// loud frame no longer coarsens the codes of the quiet ones), summed exactly in integers. The
// input's codes have 8 bits, or 14 for the layers whose input's rounding costs the most agreement
// with float32: those are multiplied as two planes of 7 bits (the high, then the low), which
// doubles their products but not the weights they read. The weights lie in blocks of 32 output
// channels by 4 inputs, two 512-bit VNNI products, so a step of a few rows reads each weight once,
// in order, straight from memory. (oneDNN, which ran these products before, compiles new kernels
// for every input scale it has not seen: most of the time a live step spent outside its products.)
class Int8Linear {
public:
    static constexpr std::int64_t channelBlock = 32;
    static constexpr std::int64_t inputGroup = 4;

    enum class Kernel { avx512Vnni, avx2, portable };
    enum class InputBits { eight = 8, fourteen = 14 };

    // Row-major weights [outputs, inputs] of -127..127 into `packed` (packedSize bytes, zeroed),
    // padded to whole blocks and groups.
    static void pack(std::span<const std::int8_t> weights, std::int64_t outputs,
                     std::int64_t inputs, std::span<std::int8_t> packed);
    static std::int64_t packedSize(std::int64_t outputs, std::int64_t inputs);
    // Each output channel's sum of weights, which takes the input's zero point back out.
    static std::vector<std::int32_t> channelSums(std::span<const std::int8_t> weights,
                                                 std::int64_t outputs, std::int64_t inputs);

    // Whether this processor runs `kernel`, and the fastest it runs; every kernel gives the
    // same outputs to the bit.
    static bool runsHere(Kernel kernel);
    static Kernel bestKernel();
    // "avx512-vnni", "avx2" or "portable", and back.
    static std::string_view nameOf(Kernel kernel);
    static std::optional<Kernel> kernelNamed(std::string_view name);

    // `packed`, `scales`, `sums` and `bias` describe `outputs` channels of `inputs` weights;
    // `x` is [rows, inputs] and `y` [rows, outputs], both row-major. `runBlocks` runs the
    // channel blocks [first, last) through `work`, on as many threads as it likes.
    struct Weights {
        const std::int8_t* packed;
        const float* scales;
        const std::int32_t* sums;
        const float* bias;
        std::int64_t outputs;
        std::int64_t inputs;
    };
    template <typename RunBlocks>
    static void apply(const float* x, std::int64_t rows, const Weights& weights, InputBits bits,
                      float* y, Kernel kernel, RunBlocks&& runBlocks) {
        const auto input = quantize(x, rows, weights.inputs, bits);
        runBlocks(blocks(weights.outputs), [&](std::int64_t first, std::int64_t last) {
            multiply(input, rows, weights, y, kernel, first, last);
        });
    }

    static std::int64_t blocks(std::int64_t outputs) {
        return (outputs + channelBlock - 1) / channelBlock;
    }

    static constexpr std::int32_t lowBits = 7;

    // The input as codes of `bits` bits, with PyTorch's choice of scale and zero point over each
    // row: for each row one plane of 8 bits, or two of 7 (the high bits, then the low), each row of
    // a plane rounded up to a group.
    struct QuantizedInput {
        std::vector<std::uint8_t> planes;
        std::int64_t planesPerRow = 1;
        std::int64_t stride = 0;
        std::vector<float> scales;
        std::vector<std::int32_t> zeroPoints;

        std::int32_t code(std::int64_t row, std::int64_t input) const {
            const auto* high = planes.data() + planesPerRow * row * stride + input;
            return planesPerRow == 1 ? high[0] : (std::int32_t(high[0]) << lowBits) | high[stride];
        }
    };
    static QuantizedInput quantize(const float* x, std::int64_t rows, std::int64_t inputs,
                                   InputBits bits);

private:
    static void multiply(const QuantizedInput& input, std::int64_t rows, const Weights& weights,
                         float* y, Kernel kernel, std::int64_t firstBlock, std::int64_t lastBlock);
};
