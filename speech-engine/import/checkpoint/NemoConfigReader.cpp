#include "speech-engine/import/checkpoint/NemoConfigReader.h"

#include "speech-engine/import/checkpoint/ImportFailure.h"

#include <yaml-cpp/yaml.h>

#include <cmath>
#include <optional>
#include <sstream>

namespace {

constexpr std::size_t maxConfigBytes = std::size_t{16} << 20;
constexpr int maxInterpolationDepth = 8;
const char* const defaultLangTagPattern = R"(\s*<[a-z]{2}-[A-Z]{2}>)";

[[noreturn]] void fail(const std::string& message) {
    ImportFailure::raise("model_config.yaml: " + message);
}

// Looks up dotted keys from the top of the config, following "${a.b}" interpolations (OmegaConf
// writes them relative to the whole training config, so a leading "model." is dropped).
class ConfigKeys {
public:
    explicit ConfigKeys(YAML::Node top) : root(std::move(top)) {}

    std::optional<YAML::Node> find(const std::string& key, int depth = 0) const {
        YAML::Node node = root;
        std::istringstream parts(key);
        for (std::string part; std::getline(parts, part, '.');) {
            // Read through a const view: yaml-cpp's mutable lookups add keys, and Node's
            // assignment writes through to the tree instead of rebinding.
            const YAML::Node& current = node;
            if (!current.IsMap())
                return std::nullopt;
            const YAML::Node child = current[part];
            if (!child)
                return std::nullopt;
            node.reset(child);
        }
        if (!node.IsScalar())
            return node;
        const std::string& text = node.Scalar();
        if (!text.starts_with("${") || !text.ends_with("}"))
            return node;
        if (depth >= maxInterpolationDepth)
            fail(key + " has interpolations nested too deeply");
        std::string target = text.substr(2, text.size() - 3);
        if (target.starts_with("model.") && !root["model"])
            target.erase(0, 6);
        const auto resolved = find(target, depth + 1);
        if (!resolved)
            fail(key + " refers to " + text + ", which the config does not have");
        return resolved;
    }

    YAML::Node required(const std::string& key) const {
        const auto node = find(key);
        if (!node || node->IsNull())
            fail("the key " + key + " is missing");
        return *node;
    }

    template <typename T> T value(const std::string& key, const YAML::Node& node) const {
        try {
            return node.as<T>();
        } catch (const YAML::Exception&) {
            fail(key + " has a value of the wrong kind");
        }
    }

    template <typename T> T required(const std::string& key) const {
        return value<T>(key, required(key));
    }

    template <typename T> T optional(const std::string& key, T fallback) const {
        const auto node = find(key);
        return node && !node->IsNull() ? value<T>(key, *node) : fallback;
    }

    bool has(const std::string& key) const {
        const auto node = find(key);
        return node && !node->IsNull();
    }

private:
    YAML::Node root;
};

std::int64_t bounded(const std::string& key, std::int64_t value, std::int64_t low,
                     std::int64_t high) {
    if (value < low || value > high)
        fail(key + " is " + std::to_string(value) + ", outside the sensible range " +
             std::to_string(low) + ".." + std::to_string(high));
    return value;
}

std::int64_t requiredSize(const ConfigKeys& keys, const std::string& key, std::int64_t high) {
    return bounded(key, keys.required<std::int64_t>(key), 1, high);
}

void requireChoice(const std::string& key, const std::string& value, const std::string& supported) {
    if (value != supported)
        fail(key + " is \"" + value + "\"; only \"" + supported + "\" can be streamed here");
}

void readPreprocessor(const ConfigKeys& keys, NemoModelConfig& config) {
    auto& p = config.preprocessor;
    config.sampleRate =
        bounded("sample_rate", keys.required<std::int64_t>("sample_rate"), 1000, 192000);
    if (keys.optional<std::int64_t>("preprocessor.sample_rate", config.sampleRate) !=
        config.sampleRate)
        fail("preprocessor.sample_rate disagrees with sample_rate");
    p.features = requiredSize(keys, "preprocessor.features", 1024);
    const auto samples = [&](const std::string& key) {
        const double seconds = keys.required<double>(key);
        if (!(seconds > 0 && seconds <= 1))
            fail(key + " must be a duration in seconds between 0 and 1");
        return bounded(key,
                       static_cast<std::int64_t>(seconds * static_cast<double>(config.sampleRate)),
                       1, 65536);
    };
    p.windowSamples = samples("preprocessor.window_size");
    p.hopSamples = samples("preprocessor.window_stride");
    std::int64_t fallbackFft = 1;
    while (fallbackFft < p.windowSamples)
        fallbackFft *= 2;
    p.nFft = bounded("preprocessor.n_fft",
                     keys.optional<std::int64_t>("preprocessor.n_fft", fallbackFft),
                     p.windowSamples, 65536);
    p.window = keys.optional<std::string>("preprocessor.window", "hann");
    requireChoice("preprocessor.window", p.window, "hann");
    p.normalize = keys.optional<std::string>("preprocessor.normalize", "per_feature");
    requireChoice("preprocessor.normalize", p.normalize, "NA");
    p.preemph = keys.optional<double>("preprocessor.preemph", 0.97);
    p.logZeroGuardType = keys.optional<std::string>("preprocessor.log_zero_guard_type", "add");
    requireChoice("preprocessor.log_zero_guard_type", p.logZeroGuardType, "add");
    p.logZeroGuardValue = keys.optional<double>("preprocessor.log_zero_guard_value", 0x1p-24);
    p.magPower = keys.optional<double>("preprocessor.mag_power", 2.0);
    if (!std::isfinite(p.preemph) || !(p.logZeroGuardValue > 0) || !(p.magPower > 0))
        fail("preprocessor.preemph, log_zero_guard_value or mag_power is not a sensible number");
    p.padTo = keys.optional<std::int64_t>("preprocessor.pad_to", 16);
    if (p.padTo != 0)
        fail("preprocessor.pad_to is " + std::to_string(p.padTo) + "; only 0 can be streamed");
    p.frameSplicing = keys.optional<std::int64_t>("preprocessor.frame_splicing", 1);
    if (p.frameSplicing != 1)
        fail("preprocessor.frame_splicing is " + std::to_string(p.frameSplicing) +
             "; only 1 is supported");
    if (!keys.optional<bool>("preprocessor.log", true) ||
        keys.optional<bool>("preprocessor.exact_pad", false))
        fail("preprocessor.log must be true and preprocessor.exact_pad false");
}

std::pair<std::int64_t, std::int64_t> contextPair(const ConfigKeys& keys, const YAML::Node& pair) {
    const std::string key = "encoder.att_context_size";
    if (!pair.IsSequence() || pair.size() != 2)
        fail(key + " must be a pair [left, right] or a list of such pairs");
    // Published models look back 56 or 70 frames and ahead at most 13. The positional terms grow
    // with the whole context times the width and the layers: a context of 100000 frames would take
    // about 19 GB for a 0.6 B model, so these bounds stay far below that.
    const auto left = bounded(key, keys.value<std::int64_t>(key, pair[0]), 0, 1024);
    const auto right = bounded(key, keys.value<std::int64_t>(key, pair[1]), 0, 127);
    if (left % (right + 1) != 0)
        fail(key + " [" + std::to_string(left) + ", " + std::to_string(right) +
             "]: the left context must be a multiple of the right context + 1");
    return {left, right};
}

void readAttentionContexts(const ConfigKeys& keys, NemoModelConfig::Encoder& e) {
    const YAML::Node sizes = keys.required("encoder.att_context_size");
    if (sizes.IsSequence() && sizes.size() > 0 && sizes[0].IsScalar()) {
        e.attContextSizes.push_back(contextPair(keys, sizes));
        return;
    }
    if (!sizes.IsSequence() || sizes.size() == 0 || sizes.size() > 64)
        fail("encoder.att_context_size must be a pair [left, right] or a list of such pairs");
    for (const auto& pair : sizes)
        e.attContextSizes.push_back(contextPair(keys, pair));
}

void readConvContext(const ConfigKeys& keys, NemoModelConfig::Encoder& e) {
    const auto node = keys.find("encoder.conv_context_size");
    const bool causalPair =
        node && node->IsSequence() && node->size() == 2 &&
        keys.value<std::int64_t>("encoder.conv_context_size", (*node)[0]) == e.convKernelSize - 1 &&
        keys.value<std::int64_t>("encoder.conv_context_size", (*node)[1]) == 0;
    e.convContextSize = causalPair
                            ? "causal"
                            : keys.optional<std::string>("encoder.conv_context_size", "symmetric");
    requireChoice("encoder.conv_context_size", e.convContextSize, "causal");
}

void readEncoder(const ConfigKeys& keys, NemoModelConfig& config) {
    auto& e = config.encoder;
    e.featIn = requiredSize(keys, "encoder.feat_in", 1024);
    if (e.featIn != config.preprocessor.features)
        fail("encoder.feat_in disagrees with preprocessor.features");
    e.layers = requiredSize(keys, "encoder.n_layers", 256);
    e.dModel = requiredSize(keys, "encoder.d_model", 8192);
    e.heads = requiredSize(keys, "encoder.n_heads", 256);
    if (e.dModel % e.heads != 0)
        fail("encoder.d_model is not a multiple of encoder.n_heads");
    e.ffExpansion = bounded("encoder.ff_expansion_factor",
                            keys.optional<std::int64_t>("encoder.ff_expansion_factor", 4), 1, 64);
    e.subsampling = keys.optional<std::string>("encoder.subsampling", "striding");
    requireChoice("encoder.subsampling", e.subsampling, "dw_striding");
    e.subsamplingFactor = keys.optional<std::int64_t>("encoder.subsampling_factor", 4);
    if (e.subsamplingFactor != 8)
        fail("encoder.subsampling_factor is " + std::to_string(e.subsamplingFactor) +
             "; only 8 is supported");
    const auto channels = keys.optional<std::int64_t>("encoder.subsampling_conv_channels", -1);
    e.subsamplingConvChannels =
        channels == -1 ? e.dModel : bounded("encoder.subsampling_conv_channels", channels, 1, 8192);
    e.causalDownsampling = keys.optional<bool>("encoder.causal_downsampling", false);
    if (!e.causalDownsampling)
        fail("encoder.causal_downsampling is false; only causal subsampling can be streamed");
    e.selfAttentionModel = keys.optional<std::string>("encoder.self_attention_model", "rel_pos");
    requireChoice("encoder.self_attention_model", e.selfAttentionModel, "rel_pos");
    e.attContextStyle = keys.optional<std::string>("encoder.att_context_style", "regular");
    requireChoice("encoder.att_context_style", e.attContextStyle, "chunked_limited");
    readAttentionContexts(keys, e);
    e.xscaling = keys.optional<bool>("encoder.xscaling", true);
    e.untieBiases = keys.optional<bool>("encoder.untie_biases", true);
    e.convKernelSize = bounded("encoder.conv_kernel_size",
                               keys.optional<std::int64_t>("encoder.conv_kernel_size", 31), 1, 64);
    readConvContext(keys, e);
    e.convNormType = keys.optional<std::string>("encoder.conv_norm_type", "batch_norm");
    if (e.convNormType != "batch_norm" && e.convNormType != "layer_norm")
        fail("encoder.conv_norm_type is \"" + e.convNormType +
             "\"; only batch_norm and layer_norm are supported");
    e.useBias = keys.optional<bool>("encoder.use_bias", true);
    if (keys.optional<std::int64_t>("encoder.feat_out", -1) != -1 || keys.has("encoder.reduction"))
        fail("encoder.feat_out and encoder.reduction are not supported");
}

void readDecoderAndJoint(const ConfigKeys& keys, NemoModelConfig& config) {
    auto& d = config.decoder;
    d.predHidden = requiredSize(keys, "decoder.prednet.pred_hidden", 8192);
    d.rnnLayers = requiredSize(keys, "decoder.prednet.pred_rnn_layers", 16);
    d.vocabSize = requiredSize(keys, "decoder.vocab_size", 1000000);
    d.blankAsPad = keys.optional<bool>("decoder.blank_as_pad", false);
    if (!d.blankAsPad)
        fail("decoder.blank_as_pad is false; only a blank padding row is supported");
    if (keys.has("decoder.normalization_mode") ||
        keys.optional<std::string>("decoder.prednet.rnn_type", "lstm") != "lstm")
        fail("decoder.normalization_mode must be null and decoder.prednet.rnn_type lstm");
    auto& j = config.joint;
    j.jointHidden = requiredSize(keys, "joint.jointnet.joint_hidden", 8192);
    j.activation = keys.required<std::string>("joint.jointnet.activation");
    requireChoice("joint.jointnet.activation", j.activation, "relu");
    j.dropout = keys.optional<double>("joint.jointnet.dropout", 0.0);
    j.numClasses = requiredSize(keys, "joint.num_classes", 1000000);
    if (j.numClasses != d.vocabSize)
        fail("joint.num_classes disagrees with decoder.vocab_size");
}

void readDecoding(const ConfigKeys& keys, NemoModelConfig& config) {
    auto& d = config.decoding;
    const auto maxSymbols = keys.optional<std::int64_t>("decoding.greedy.max_symbols", 0);
    d.maxSymbols =
        maxSymbols <= 0 ? 10 : bounded("decoding.greedy.max_symbols", maxSymbols, 1, 1000);
    d.stripLangTags = keys.optional<bool>("decoding.strip_lang_tags", false);
    d.langTagPattern =
        keys.optional<std::string>("decoding.lang_tag_pattern", defaultLangTagPattern);
}

// Prompt keys sit in model_defaults; either NeMo's training names or the newer language-id ones.
void readPrompt(const ConfigKeys& keys, NemoModelConfig& config) {
    struct Names {
        const char *flag, *count, *dictionary, *module;
    };
    const Names sets[] = {
        {"initialize_prompt_feature", "num_prompts", "prompt_dictionary", "prompt_kernel"},
        {"initialize_lang_id_prompt", "num_lang_id_prompts", "lang_id_prompt_dictionary",
         "lang_id_prompt_kernel"}};
    for (const Names& names : sets) {
        const std::string section =
            keys.has(std::string("model_defaults.") + names.flag) ? "model_defaults." : "";
        if (!keys.optional<bool>(section + names.flag, false))
            continue;
        auto& p = config.prompt;
        p.enabled = true;
        p.modulePrefix = names.module;
        p.numPrompts = bounded(section + names.count,
                               keys.optional<std::int64_t>(section + names.count, 128), 1, 100000);
        const std::string dictionaryKey = section + names.dictionary;
        const YAML::Node dictionary = keys.required(dictionaryKey);
        if (!dictionary.IsMap() || dictionary.size() == 0)
            fail(dictionaryKey + " must map locales to prompt indices");
        for (const auto& item : dictionary)
            p.dictionary[keys.value<std::string>(dictionaryKey, item.first)] =
                bounded(dictionaryKey, keys.value<std::int64_t>(dictionaryKey, item.second), 0,
                        p.numPrompts - 1);
        return;
    }
}

void readTokenizer(const ConfigKeys& keys, NemoModelConfig& config) {
    const auto type = keys.required<std::string>("tokenizer.type");
    if (type == "agg")
        fail("the tokenizer is an aggregate of per-language tokenizers, which is not supported");
    requireChoice("tokenizer.type", type, "bpe");
    const auto path = keys.required<std::string>("tokenizer.model_path");
    if (!path.starts_with("nemo:") || path.size() == 5)
        fail("tokenizer.model_path does not name a file inside the checkpoint");
    config.tokenizerModel = path.substr(5);
}

} // namespace

NemoModelConfig NemoConfigReader::parse(std::string_view yamlText) {
    if (yamlText.size() > maxConfigBytes)
        fail("the file is too large to be a model config");
    YAML::Node root;
    try {
        root = YAML::Load(std::string(yamlText));
    } catch (const YAML::Exception& error) {
        fail("not valid YAML (line " + std::to_string(error.mark.line + 1) + ")");
    }
    if (!root.IsMap())
        fail("the file does not hold a model section");
    const ConfigKeys keys(root);
    NemoModelConfig config;
    config.target = keys.optional<std::string>("target", "");
    config.nemoVersion = keys.optional<std::string>("nemo_version", "");
    readTokenizer(keys, config);
    readPreprocessor(keys, config);
    readEncoder(keys, config);
    readDecoderAndJoint(keys, config);
    readDecoding(keys, config);
    readPrompt(keys, config);
    return config;
}
