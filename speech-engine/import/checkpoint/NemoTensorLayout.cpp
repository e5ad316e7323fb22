#include "speech-engine/import/checkpoint/NemoTensorLayout.h"

#include "speech-engine/import/checkpoint/ImportFailure.h"

#include <set>

namespace {

using Shape = std::vector<std::int64_t>;

[[noreturn]] void fail(const std::string& message) {
    ImportFailure::raise(message);
}

std::string text(const Shape& shape) {
    std::string result = "[";
    for (std::size_t i = 0; i < shape.size(); ++i)
        result += (i ? ", " : "") + std::to_string(shape[i]);
    return result + "]";
}

void addLinear(NemoTensorLayout::Shapes& shapes, const std::string& prefix, std::int64_t out,
               std::int64_t in, bool bias = true) {
    shapes[prefix + ".weight"] = {out, in};
    if (bias)
        shapes[prefix + ".bias"] = {out};
}

void addNorm(NemoTensorLayout::Shapes& shapes, const std::string& prefix, std::int64_t size) {
    shapes[prefix + ".weight"] = {size};
    shapes[prefix + ".bias"] = {size};
}

void addPreEncode(NemoTensorLayout::Shapes& shapes, const NemoModelConfig& config) {
    const std::int64_t c = config.encoder.subsamplingConvChannels;
    std::int64_t frequencies = config.preprocessor.features;
    for (int stage = 0; stage < 3; ++stage)
        frequencies = frequencies / 2 + 1;
    const std::string prefix = "encoder.pre_encode.";
    for (const char* conv : {"conv.0", "conv.2", "conv.5"}) {
        shapes[prefix + conv + ".weight"] = {c, 1, 3, 3};
        shapes[prefix + conv + ".bias"] = {c};
    }
    for (const char* conv : {"conv.3", "conv.6"}) {
        shapes[prefix + conv + ".weight"] = {c, c, 1, 1};
        shapes[prefix + conv + ".bias"] = {c};
    }
    addLinear(shapes, prefix + "out", config.encoder.dModel, c * frequencies);
}

void addLayer(NemoTensorLayout::Shapes& shapes, const NemoModelConfig::Encoder& e,
              const std::string& prefix) {
    const std::int64_t d = e.dModel;
    const bool bias = e.useBias;
    for (const char* norm :
         {"norm_feed_forward1", "norm_self_att", "norm_conv", "norm_feed_forward2", "norm_out"})
        addNorm(shapes, prefix + norm, d);
    for (const char* ff : {"feed_forward1", "feed_forward2"}) {
        addLinear(shapes, prefix + ff + ".linear1", e.ffExpansion * d, d, bias);
        addLinear(shapes, prefix + ff + ".linear2", d, e.ffExpansion * d, bias);
    }
    for (const char* linear : {"linear_q", "linear_k", "linear_v", "linear_out"})
        addLinear(shapes, prefix + "self_attn." + linear, d, d, bias);
    addLinear(shapes, prefix + "self_attn.linear_pos", d, d, false);
    shapes[prefix + "self_attn.pos_bias_u"] = {e.heads, d / e.heads};
    shapes[prefix + "self_attn.pos_bias_v"] = {e.heads, d / e.heads};
    const std::string conv = prefix + "conv.";
    shapes[conv + "pointwise_conv1.weight"] = {2 * d, d, 1};
    shapes[conv + "depthwise_conv.weight"] = {d, 1, e.convKernelSize};
    shapes[conv + "pointwise_conv2.weight"] = {d, d, 1};
    if (bias)
        for (const auto& [name, size] :
             {std::pair{"pointwise_conv1", 2 * d}, std::pair{"depthwise_conv", d},
              std::pair{"pointwise_conv2", d}})
            shapes[conv + name + ".bias"] = {size};
    addNorm(shapes, conv + "batch_norm", d);
    if (e.convNormType == "batch_norm") {
        shapes[conv + "batch_norm.running_mean"] = {d};
        shapes[conv + "batch_norm.running_var"] = {d};
    }
}

void addDecoderAndJoint(NemoTensorLayout::Shapes& shapes, const NemoModelConfig& config,
                        const std::string& jointOutput) {
    const std::int64_t p = config.decoder.predHidden;
    const std::int64_t v = config.decoder.vocabSize;
    shapes["decoder.prediction.embed.weight"] = {v + 1, p};
    const std::string lstm = "decoder.prediction.dec_rnn.lstm.";
    for (std::int64_t k = 0; k < config.decoder.rnnLayers; ++k) {
        const std::string layer = "_l" + std::to_string(k);
        shapes[lstm + "weight_ih" + layer] = {4 * p, p};
        shapes[lstm + "weight_hh" + layer] = {4 * p, p};
        shapes[lstm + "bias_ih" + layer] = {4 * p};
        shapes[lstm + "bias_hh" + layer] = {4 * p};
    }
    const std::int64_t j = config.joint.jointHidden;
    addLinear(shapes, "joint.enc", j, config.encoder.dModel);
    addLinear(shapes, "joint.pred", j, p);
    addLinear(shapes, jointOutput, v + 1, j);
}

void addPrompt(NemoTensorLayout::Shapes& shapes, const NemoModelConfig& config) {
    if (!config.prompt.enabled)
        return;
    const std::int64_t d = config.encoder.dModel;
    addLinear(shapes, config.prompt.modulePrefix + ".0", 2 * d, d + config.prompt.numPrompts);
    addLinear(shapes, config.prompt.modulePrefix + ".2", d, 2 * d);
}

// The joint's output layer is the only Linear in joint.joint_net; its index depends on dropout.
std::string jointOutputOf(const std::map<std::string, CheckpointTensor>& weights) {
    const std::string prefix = "joint.joint_net.";
    std::set<std::string> layers;
    for (auto it = weights.lower_bound(prefix);
         it != weights.end() && it->first.starts_with(prefix); ++it)
        if (it->first.ends_with(".weight"))
            layers.insert(it->first.substr(0, it->first.size() - std::string(".weight").size()));
    if (layers.size() != 1)
        fail(layers.empty() ? "The checkpoint has no joint output layer (joint.joint_net.N.weight)"
                            : "The checkpoint has more than one joint output layer");
    return *layers.begin();
}

} // namespace

NemoTensorLayout::Shapes NemoTensorLayout::expected(const NemoModelConfig& config,
                                                    const std::string& jointOutput) {
    Shapes shapes;
    shapes["preprocessor.featurizer.window"] = {config.preprocessor.windowSamples};
    shapes["preprocessor.featurizer.fb"] = {1, config.preprocessor.features,
                                            config.preprocessor.nFft / 2 + 1};
    addPreEncode(shapes, config);
    for (std::int64_t n = 0; n < config.encoder.layers; ++n)
        addLayer(shapes, config.encoder, "encoder.layers." + std::to_string(n) + ".");
    addDecoderAndJoint(shapes, config, jointOutput);
    addPrompt(shapes, config);
    return shapes;
}

std::map<std::string, CheckpointTensor>
NemoTensorLayout::select(std::map<std::string, CheckpointTensor> weights,
                         const NemoModelConfig& config) {
    std::map<std::string, CheckpointTensor> selected;
    for (const auto& [name, shape] : expected(config, jointOutputOf(weights))) {
        const auto found = weights.find(name);
        if (found == weights.end())
            fail("The checkpoint has no tensor " + name + ", which its config implies");
        if (found->second.type != CheckpointTensor::Type::float32)
            fail("The checkpoint's tensor " + name + " is not float32");
        if (found->second.shape != shape)
            fail("The checkpoint's tensor " + name + " has shape " + text(found->second.shape) +
                 ", its config implies " + text(shape));
        selected.emplace(name, std::move(found->second));
    }
    return selected;
}
