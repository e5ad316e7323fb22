#include "speech-engine/import/modules/EncoderModuleBuilder.h"

#include "speech-engine/import/modules/CheckpointTensors.h"
#include "speech-engine/import/modules/EncoderSource.h"
#include "speech-engine/import/modules/OperatorResolver.h"
#include "speech-engine/runtime/Int8Linear.h"
#include "speech-engine/runtime/ModelRunner.h"

#include <torch/script.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <map>
#include <set>

#include <malloc.h>

namespace {

// Each step's mel window starts with nine frames before the chunk; their first two subsampled
// frames are dropped.
constexpr std::int64_t droppedFrames = 2;

void require(bool supported, const std::string& what) {
    if (!supported)
        throw ModelImportError("Unsupported checkpoint setting: " + what);
}

void checkSettings(const NemoModelConfig::Encoder& encoder,
                   std::pair<std::int64_t, std::int64_t> attContext) {
    require(encoder.subsampling == "dw_striding", "encoder.subsampling " + encoder.subsampling);
    require(encoder.subsamplingFactor == 8, "encoder.subsampling_factor other than 8");
    require(encoder.causalDownsampling, "encoder.causal_downsampling false");
    require(encoder.selfAttentionModel == "rel_pos",
            "encoder.self_attention_model " + encoder.selfAttentionModel);
    require(encoder.attContextStyle == "chunked_limited",
            "encoder.att_context_style " + encoder.attContextStyle);
    require(encoder.convContextSize == "causal",
            "encoder.conv_context_size " + encoder.convContextSize);
    require(encoder.convNormType == "batch_norm" || encoder.convNormType == "layer_norm",
            "encoder.conv_norm_type " + encoder.convNormType);
    require(encoder.layers > 0 && encoder.heads > 0 && encoder.dModel % (2 * encoder.heads) == 0,
            "encoder sizes");
    require(encoder.convKernelSize >= 2, "encoder.conv_kernel_size below 2");
    require(encoder.untieBiases, "encoder.untie_biases false");
    const auto& listed = encoder.attContextSizes;
    require(std::find(listed.begin(), listed.end(), attContext) != listed.end(),
            "an attention context the checkpoint does not list");
    const auto [left, right] = attContext;
    require(left >= 0 && right >= 0 && left % (right + 1) == 0,
            "attention context [" + std::to_string(left) + ", " + std::to_string(right) + "]");
}

// The encoder's tensors of one checkpoint, by state-dict name.
class EncoderTensors {
public:
    explicit EncoderTensors(const NemoCheckpoint& checkpoint) : m_checkpoint(checkpoint) {}

    std::int64_t layers() const { return m_checkpoint.config.encoder.layers; }

    // Scaled as scale() asked, from the checkpoint each time: scaled copies kept for the whole
    // build would add over a gigabyte to the import's peak at the published sizes. Unscaled,
    // the checkpoint's own values: a float32 encoder built beside the checkpoint then adds
    // little to the peak. Nothing here writes to a tensor it gets.
    torch::Tensor get(const std::string& name) const {
        auto tensor = CheckpointTensors::viewOf(CheckpointTensors::named(m_checkpoint, name));
        const auto scaling = m_scalings.find(name);
        return scaling == m_scalings.end() ? tensor : scaling->second(tensor);
    }
    void scale(const std::string& name, std::function<torch::Tensor(const torch::Tensor&)> how) {
        m_scalings.insert_or_assign(name, std::move(how));
    }

    // Absent exactly when the checkpoint's Conformer layers have no biases.
    std::optional<torch::Tensor> bias(const std::string& name) const {
        if (!m_checkpoint.config.encoder.useBias && !m_checkpoint.weights.contains(name))
            return std::nullopt;
        return get(name);
    }

    static std::string layerName(std::int64_t layer, const std::string& name) {
        return "encoder.layers." + std::to_string(layer) + "." + name;
    }

    // `name` of every layer, stacked.
    torch::Tensor stacked(const std::string& name) const {
        std::vector<torch::Tensor> perLayer;
        for (std::int64_t l = 0; l < layers(); ++l)
            perLayer.push_back(get(layerName(l, name)));
        return torch::stack(perLayer);
    }

    // `name` of every layer, stacked; zeros of `size` where there are no biases: the same sums.
    torch::Tensor stackedBias(const std::string& name, std::int64_t size) const {
        std::vector<torch::Tensor> perLayer;
        for (std::int64_t l = 0; l < layers(); ++l)
            perLayer.push_back(bias(layerName(l, name)).value_or(torch::zeros({size})));
        return torch::stack(perLayer);
    }

private:
    const NemoCheckpoint& m_checkpoint;
    std::map<std::string, std::function<torch::Tensor(const torch::Tensor&)>> m_scalings;
};

// Input channel k of `weight` ([out, in] or [out, in, 1]) times factors[k].
torch::Tensor scaledInputs(const torch::Tensor& weight, const torch::Tensor& factors) {
    std::vector<std::int64_t> shape(std::size_t(weight.dim()), 1);
    shape[1] = -1;
    return weight * factors.view(shape);
}

// Per channel k: sqrt(range of the norm's output / largest weight reading it), which leaves both
// the square root of their product.
torch::Tensor balancingFactors(const torch::Tensor& gain, const torch::Tensor& bias,
                               const torch::Tensor& largestWeight) {
    const auto range = gain.abs() + bias.abs();
    return torch::sqrt(range.clamp_min(1e-6) / largestWeight.clamp_min(1e-6)).clamp(1e-3, 1e3);
}

// Trained layer norms give a few channels gains tens of times the others': those channels
// multiply the rounding of every weight that reads them, and one scale for a whole row leaves the
// other channels fewer codes. Each channel's range is moved halfway into the weights that read
// it: the norm's gain and bias divided by balancingFactors, those weights' columns multiplied by
// them. The float maths is the same. (With 14-bit input codes it still matters: without it the
// largest difference from float32 grew by 40 % where such channels are.)
void moveOutliersIntoWeights(EncoderTensors& tensors) {
    const std::pair<std::string, std::vector<std::string>> normsAndReaders[] = {
        {"norm_feed_forward1", {"feed_forward1.linear1"}},
        {"norm_self_att", {"self_attn.linear_q", "self_attn.linear_k", "self_attn.linear_v"}},
        {"norm_conv", {"conv.pointwise_conv1"}},
        {"norm_feed_forward2", {"feed_forward2.linear1"}}};
    for (std::int64_t l = 0; l < tensors.layers(); ++l)
        for (const auto& [norm, readers] : normsAndReaders) {
            const auto name = [l](const std::string& module, const char* tensor) {
                return EncoderTensors::layerName(l, module + tensor);
            };
            const auto gain = tensors.get(name(norm, ".weight"));
            const auto bias = tensors.get(name(norm, ".bias"));
            auto largestWeight = torch::zeros_like(gain);
            for (const auto& reader : readers)
                largestWeight = torch::maximum(
                    largestWeight, tensors.get(name(reader, ".weight")).abs().flatten(1).amax(0));
            const auto factors = balancingFactors(gain, bias, largestWeight);
            const auto divided = [factors](const torch::Tensor& t) { return t / factors; };
            tensors.scale(name(norm, ".weight"), divided);
            tensors.scale(name(norm, ".bias"), divided);
            for (const auto& reader : readers)
                tensors.scale(name(reader, ".weight"), [factors](const torch::Tensor& weight) {
                    return scaledInputs(weight, factors);
                });
        }
}

struct LinearLayer {
    torch::Tensor weight; // [out, in]
    std::optional<torch::Tensor> bias;
};

LinearLayer layerLinear(const EncoderTensors& tensors, std::int64_t layer,
                        const std::string& module) {
    auto weight = tensors.get(EncoderTensors::layerName(layer, module + ".weight"));
    if (weight.dim() == 3)
        weight = weight.squeeze(2);
    return {weight, tensors.bias(EncoderTensors::layerName(layer, module + ".bias"))};
}

// The query, key and value projections of a layer as one layer over the same input: a step
// projects its rows once, and per-output-channel int8 weights quantize the three alike.
LinearLayer attentionInputLinear(const EncoderTensors& tensors, std::int64_t layer) {
    std::vector<torch::Tensor> weights, biases;
    for (const auto* module : {"self_attn.linear_q", "self_attn.linear_k", "self_attn.linear_v"}) {
        const auto linear = layerLinear(tensors, layer, module);
        weights.push_back(linear.weight);
        biases.push_back(linear.bias.value_or(torch::zeros({linear.weight.size(0)})));
    }
    return {torch::cat(weights), torch::cat(biases)};
}

// NeMo's sinusoids of the relative positions keys-1 down to -(keys-1), computed in float32 as
// NeMo computes them, through each layer's position projection (which never has a bias): the
// same for every step, so a step slices the rows of its own key count.
torch::Tensor positionTerms(const EncoderTensors& tensors, std::int64_t dModel, std::int64_t keys) {
    const auto inverseFrequencies = torch::exp(torch::arange(0, dModel, 2, torch::kFloat32) *
                                               -(std::log(10000.0) / static_cast<double>(dModel)));
    const auto angles =
        torch::arange(keys - 1, -keys, -1).to(torch::kFloat32).unsqueeze(1) * inverseFrequencies;
    const auto sinusoids =
        torch::stack({torch::sin(angles), torch::cos(angles)}, 2).view({2 * keys - 1, dModel});
    std::vector<torch::Tensor> perLayer;
    for (std::int64_t l = 0; l < tensors.layers(); ++l)
        perLayer.push_back(torch::linear(
            sinusoids, tensors.get(EncoderTensors::layerName(l, "self_attn.linear_pos.weight"))));
    return torch::stack(perLayer);
}

void registerList(torch::jit::Module& module, const std::string& name,
                  const c10::TypePtr& elementType, const std::vector<c10::IValue>& values) {
    c10::impl::GenericList list(elementType);
    for (const auto& value : values)
        list.push_back(value);
    module.register_attribute(name, c10::ListType::create(elementType), list);
}

c10::IValue floatLinear(const LinearLayer& linear) {
    const auto bias = linear.bias.value_or(torch::zeros({linear.weight.size(0)}));
    return c10::ivalue::Tuple::create({linear.weight, bias});
}

// Symmetric per-output-channel int8 weights, packed for the encoder's int8 operator with their
// scales, sums, bias and the bits of their input's codes.
c10::IValue packedLinear(const LinearLayer& linear, Int8Linear::InputBits inputBits) {
    const auto& weight = linear.weight;
    const auto outputs = weight.size(0), inputs = weight.size(1);
    const auto scales = weight.abs().amax(1).clamp_min(1e-8).div(127).to(torch::kDouble);
    const auto codes = torch::quantize_per_channel(
                           weight, scales, torch::zeros({outputs}, torch::kLong), 0, torch::kQInt8)
                           .int_repr()
                           .contiguous();
    const std::span<const std::int8_t> values(codes.data_ptr<std::int8_t>(),
                                              std::size_t(codes.numel()));
    auto packed = torch::zeros({Int8Linear::packedSize(outputs, inputs)}, torch::kInt8);
    Int8Linear::pack(values, outputs, inputs,
                     {packed.data_ptr<std::int8_t>(), std::size_t(packed.numel())});
    auto sums = torch::empty({outputs}, torch::kInt32);
    std::ranges::copy(Int8Linear::channelSums(values, outputs, inputs),
                      sums.data_ptr<std::int32_t>());
    const auto bias = linear.bias.value_or(torch::zeros({outputs}));
    return c10::ivalue::Tuple::create({packed, scales.to(torch::kFloat32), sums,
                                       bias.to(torch::kFloat32).contiguous(),
                                       std::int64_t(inputBits)});
}

// 14-bit input codes for every layer that reads a layer norm, where trained models have their
// outlier channels, and for the attention's and convolution module's output layers, which
// measured the most sensitive to their input's rounding. The feed-forward modules' output layers,
// a third of the weights and the least sensitive, keep 8 bits: 14 there too made a 560 ms step's
// products another 8 % slower for little more agreement.
Int8Linear::InputBits inputBitsOf(const std::string& linear) {
    static const std::set<std::string> eightBits{"ff1_out", "ff2_out"};
    return eightBits.contains(linear) ? Int8Linear::InputBits::eight
                                      : Int8Linear::InputBits::fourteen;
}

// A linear layer of every Conformer layer, made by `linearOf` one layer at a time: each layer's
// int8 weights are packed before the next layer's float weights are made. The allocator keeps the
// pages of those freed float copies between the long-lived packed weights, so they are handed back
// after each kind: at the published size that takes the int8 import's peak from 4600 to 3600 MiB.
void registerLinears(torch::jit::Module& module, const std::string& name, std::int64_t layers,
                     const std::function<LinearLayer(std::int64_t)>& linearOf,
                     ModelPrecision precision) {
    const bool int8 = precision == ModelPrecision::int8;
    const auto bits = inputBitsOf(name);
    std::vector<c10::IValue> values;
    for (std::int64_t l = 0; l < layers; ++l)
        values.push_back(int8 ? packedLinear(linearOf(l), bits) : floatLinear(linearOf(l)));
    malloc_trim(0);
    const auto tensor = c10::TensorType::get();
    registerList(module, name,
                 int8
                     ? c10::TupleType::create({tensor, tensor, tensor, tensor, c10::IntType::get()})
                     : c10::TupleType::create({tensor, tensor}),
                 values);
}

void registerSizes(torch::jit::Module& module, const NemoModelConfig::Encoder& encoder,
                   std::pair<std::int64_t, std::int64_t> attContext) {
    const auto [left, right] = attContext;
    const auto integer = [&](const char* name, std::int64_t value) {
        module.register_attribute(name, c10::IntType::get(), value);
    };
    integer("layers", encoder.layers);
    integer("d_model", encoder.dModel);
    integer("heads", encoder.heads);
    integer("cache_size", left);
    integer("chunk_frames", right + 1);
    integer("left_chunks", left / (right + 1));
    integer("max_keys", left + right + 1);
    integer("drop_frames", droppedFrames);
    const double dModel = static_cast<double>(encoder.dModel);
    module.register_attribute("xscale", c10::FloatType::get(),
                              encoder.xscaling ? std::sqrt(dModel) : 1.0);
    module.register_attribute("sqrt_dk", c10::FloatType::get(),
                              std::sqrt(dModel / static_cast<double>(encoder.heads)));
}

// The output layer stays float32 at int8 too: quantizing it cost more agreement than any other
// layer, for under 1 % of the weights.
void registerSubsampling(torch::jit::Module& module, const EncoderTensors& tensors) {
    for (const std::string index : {"0", "2", "3", "5", "6"}) {
        const auto stored = "encoder.pre_encode.conv." + index;
        module.register_buffer("conv" + index + "_weight", tensors.get(stored + ".weight"));
        module.register_buffer("conv" + index + "_bias", tensors.get(stored + ".bias"));
    }
    module.register_buffer("pre_encode_out_weight", tensors.get("encoder.pre_encode.out.weight"));
    module.register_buffer("pre_encode_out_bias", tensors.get("encoder.pre_encode.out.bias"));
}

void registerLayers(torch::jit::Module& module, const EncoderTensors& tensors,
                    const NemoModelConfig::Encoder& encoder, std::int64_t maxKeys,
                    ModelPrecision precision) {
    for (const auto& [name, key] : {std::pair{"norm_ff1", "norm_feed_forward1"},
                                    {"norm_att", "norm_self_att"},
                                    {"norm_conv", "norm_conv"},
                                    {"norm_ff2", "norm_feed_forward2"},
                                    {"norm_out", "norm_out"}}) {
        module.register_buffer(std::string(name) + "_weight",
                               tensors.stacked(std::string(key) + ".weight"));
        module.register_buffer(std::string(name) + "_bias",
                               tensors.stacked(std::string(key) + ".bias"));
    }
    module.register_buffer("pos_bias_u", tensors.stacked("self_attn.pos_bias_u"));
    module.register_buffer("pos_bias_v", tensors.stacked("self_attn.pos_bias_v"));
    for (const auto& [name, key] : {std::pair{"ff1_in", "feed_forward1.linear1"},
                                    {"ff1_out", "feed_forward1.linear2"},
                                    {"ff2_in", "feed_forward2.linear1"},
                                    {"ff2_out", "feed_forward2.linear2"},
                                    {"linear_out", "self_attn.linear_out"},
                                    {"pointwise1", "conv.pointwise_conv1"},
                                    {"pointwise2", "conv.pointwise_conv2"}})
        registerLinears(
            module, name, tensors.layers(),
            [&](std::int64_t l) { return layerLinear(tensors, l, key); }, precision);
    registerLinears(
        module, "linear_qkv", tensors.layers(),
        [&](std::int64_t l) { return attentionInputLinear(tensors, l); }, precision);
    module.register_buffer("position_terms", positionTerms(tensors, encoder.dModel, maxKeys));
    module.register_buffer("depthwise_weight", tensors.stacked("conv.depthwise_conv.weight"));
    module.register_buffer("depthwise_bias",
                           tensors.stackedBias("conv.depthwise_conv.bias", encoder.dModel));
    module.register_buffer("conv_norm_weight", tensors.stacked("conv.batch_norm.weight"));
    module.register_buffer("conv_norm_bias", tensors.stacked("conv.batch_norm.bias"));
    if (encoder.convNormType == "batch_norm") {
        module.register_buffer("conv_norm_mean", tensors.stacked("conv.batch_norm.running_mean"));
        module.register_buffer("conv_norm_var", tensors.stacked("conv.batch_norm.running_var"));
    }
}

// W2·ReLU(W1·[e; onehot(index)] + b1) + b2, with W1's column of the prompt folded into b1.
void registerPrompt(torch::jit::Module& module, const EncoderTensors& tensors,
                    const NemoModelConfig& config, std::int64_t index) {
    const auto& prompt = config.prompt;
    require(prompt.enabled, "a prompt for a checkpoint without prompts");
    require(index >= 0 && index < prompt.numPrompts,
            "prompt index " + std::to_string(index) + " of " + std::to_string(prompt.numPrompts));
    const auto first = tensors.get(prompt.modulePrefix + ".0.weight");
    const auto dModel = config.encoder.dModel;
    require(first.dim() == 2 && first.size(1) == dModel + prompt.numPrompts,
            prompt.modulePrefix + " input size");
    module.register_buffer("prompt_weight1", first.narrow(1, 0, dModel).contiguous());
    module.register_buffer("prompt_bias1", tensors.get(prompt.modulePrefix + ".0.bias") +
                                               first.select(1, dModel + index));
    module.register_buffer("prompt_weight2", tensors.get(prompt.modulePrefix + ".2.weight"));
    module.register_buffer("prompt_bias2", tensors.get(prompt.modulePrefix + ".2.bias"));
}

} // namespace

void EncoderModuleBuilder::save(const NemoCheckpoint& checkpoint,
                                std::pair<std::int64_t, std::int64_t> attContext,
                                ModelPrecision precision, std::optional<std::int64_t> promptIndex,
                                const std::filesystem::path& file) {
    const auto& encoder = checkpoint.config.encoder;
    checkSettings(encoder, attContext);
    ModelRunner::registerOperators();
    EncoderTensors tensors(checkpoint);
    if (precision == ModelPrecision::int8)
        moveOutliersIntoWeights(tensors);
    const auto convNorm = encoder.convNormType == "batch_norm" ? EncoderSource::ConvNorm::batchNorm
                                                               : EncoderSource::ConvNorm::layerNorm;
    try {
        torch::jit::Module module("StreamingEncoder");
        registerSizes(module, encoder, attContext);
        registerSubsampling(module, tensors);
        registerLayers(module, tensors, encoder, attContext.first + attContext.second + 1,
                       precision);
        if (promptIndex)
            registerPrompt(module, tensors, checkpoint.config, *promptIndex);
        module.define(EncoderSource::compose(precision, convNorm, promptIndex.has_value()),
                      std::make_shared<OperatorResolver>());
        module.save(file.string());
    } catch (const ModelImportError&) {
        throw;
    } catch (const c10::Error& error) {
        throw ModelImportError("Could not build the encoder " + file.string() + ": " +
                               error.what_without_backtrace());
    } catch (const std::exception& error) {
        throw ModelImportError("Could not build the encoder " + file.string() + ": " +
                               error.what());
    }
}
