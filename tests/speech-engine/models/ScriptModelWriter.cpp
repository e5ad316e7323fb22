#include "tests/speech-engine/models/ScriptModelWriter.h"

#include "speech-engine/import/modules/OperatorResolver.h"
#include "speech-engine/runtime/ModelRunner.h"

#include <torch/script.h>

namespace {

// Packs a float [out, in] weight, quantized symmetrically per tensor, for the current engine.
c10::IValue packedLinearWeight(const torch::Tensor& weight) {
    static torch::jit::Module packer = [] {
        torch::jit::Module module("Packer");
        module.define(R"(
def pack(self, weight: Tensor):
    return ops.quantized.linear_prepack(weight, None)
)",
                      std::make_shared<OperatorResolver>());
        return module;
    }();
    const auto scale = std::max(weight.abs().max().item<double>(), 1e-8) / 127;
    return packer.run_method("pack", torch::quantize_per_tensor(weight, scale, 0, torch::kQInt8));
}

// One packed weight of shape [out, in], or a list of them of shape [n, out, in].
void registerInt8Parameter(torch::jit::Module& module, const RandomParameter& parameter,
                           const torch::Tensor& weights) {
    if (weights.dim() == 2) {
        const auto packed = packedLinearWeight(weights);
        return module.register_attribute(parameter.name, packed.type(), packed);
    }
    c10::impl::GenericList list(packedLinearWeight(weights[0]).type());
    for (std::int64_t i = 0; i < weights.size(0); ++i)
        list.push_back(packedLinearWeight(weights[i]));
    module.register_attribute(parameter.name, c10::ListType::create(list.elementType()), list);
}

} // namespace

void saveScriptModel(const std::string& path, const ScriptModel& model) {
    ModelRunner::selectQuantizedEngine();
    torch::jit::Module module("ScriptModel");
    torch::manual_seed(7);
    for (const auto& parameter : model.parameters) {
        const auto values = torch::randn(parameter.shape) * parameter.scale;
        if (parameter.int8)
            registerInt8Parameter(module, parameter, values);
        else
            module.register_parameter(parameter.name, values, false);
    }
    module.define(model.source, std::make_shared<OperatorResolver>());
    module.save(path);
}
