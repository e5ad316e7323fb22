#include "speech-engine/runtime/Int8LinearOperator.h"

#include "speech-engine/runtime/Int8Linear.h"

#include <ATen/Parallel.h>
#include <ATen/ops/empty.h>
#include <torch/library.h>

#include <cstdlib>

namespace {

void requireType(const at::Tensor& tensor, c10::ScalarType type, const char* name) {
    TORCH_CHECK(tensor.scalar_type() == type, "linear_int8: ", name, " must be ", type, ", not ",
                tensor.scalar_type());
}

// RELAYO_INT8_KERNEL (avx512-vnni, avx2 or portable) forces a kernel, to measure or test one
// the processor would not choose; read at every call so that a test can switch it, which costs
// nothing beside a product.
Int8Linear::Kernel chosenKernel() {
    const char* forced = std::getenv("RELAYO_INT8_KERNEL");
    if (!forced || !*forced)
        return Int8Linear::bestKernel();
    const auto kernel = Int8Linear::kernelNamed(forced);
    TORCH_CHECK(kernel, "RELAYO_INT8_KERNEL: no kernel ", forced,
                " (avx512-vnni, avx2 or portable)");
    TORCH_CHECK(Int8Linear::runsHere(*kernel), "RELAYO_INT8_KERNEL: this processor does not run ",
                forced);
    return *kernel;
}

at::Tensor linearInt8(const at::Tensor& x, const at::Tensor& weight, const at::Tensor& scales,
                      const at::Tensor& sums, const at::Tensor& bias, std::int64_t inputBits) {
    requireType(x, at::kFloat, "the input");
    requireType(weight, at::kChar, "the weight");
    requireType(scales, at::kFloat, "the scales");
    requireType(sums, at::kInt, "the sums");
    requireType(bias, at::kFloat, "the bias");
    TORCH_CHECK(x.dim() >= 1, "linear_int8: the input has no feature dimension");
    TORCH_CHECK(inputBits == 8 || inputBits == 14, "linear_int8: input_bits must be 8 or 14, not ",
                inputBits);
    const auto outputs = scales.numel();
    const auto inputs = x.size(-1);
    TORCH_CHECK(sums.numel() == outputs && bias.numel() == outputs &&
                    weight.numel() == Int8Linear::packedSize(outputs, inputs),
                "linear_int8: the weights do not describe ", outputs, " outputs of ", inputs,
                " inputs");
    const auto input = x.contiguous();
    const auto packed = weight.contiguous();
    const auto scale = scales.contiguous();
    const auto sum = sums.contiguous();
    const auto offset = bias.contiguous();
    auto shape = input.sizes().vec();
    shape.back() = outputs;
    auto y = at::empty(shape, input.options());
    const auto rows = c10::multiply_integers(shape.begin(), shape.end() - 1);
    const Int8Linear::Weights weights{packed.data_ptr<std::int8_t>(),
                                      scale.data_ptr<float>(),
                                      sum.data_ptr<std::int32_t>(),
                                      offset.data_ptr<float>(),
                                      outputs,
                                      inputs};
    Int8Linear::apply(
        input.data_ptr<float>(), rows, weights, Int8Linear::InputBits(inputBits),
        y.data_ptr<float>(), chosenKernel(),
        [](std::int64_t blocks, const auto& work) { at::parallel_for(0, blocks, 1, work); });
    return y;
}

} // namespace

void Int8LinearOperator::registerOnce() {
    static const auto library = [] {
        torch::Library relayo(torch::Library::DEF, "relayo", c10::nullopt, __FILE__, __LINE__);
        // input_bits was added later: folders made before it call the operator without it.
        relayo.def("linear_int8(Tensor x, Tensor weight, Tensor scales, Tensor sums, Tensor bias, "
                   "int input_bits=8) -> Tensor",
                   &linearInt8);
        return relayo;
    }();
}
