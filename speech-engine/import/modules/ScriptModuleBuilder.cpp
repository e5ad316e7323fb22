#include "speech-engine/import/modules/ScriptModuleBuilder.h"

#include "speech-engine/import/modules/CheckpointTensors.h"
#include "speech-engine/import/modules/ModuleSources.h"
#include "speech-engine/import/vocabulary/ModelImport.h"

#include <torch/script.h>

namespace {

// The output layer of joint_net, whose index depends on whether the net has a dropout.
std::string jointOutputName(const NemoCheckpoint& checkpoint) {
    const std::string prefix = "joint.joint_net.";
    std::vector<std::string> linears;
    for (auto entry = checkpoint.weights.lower_bound(prefix);
         entry != checkpoint.weights.end() && entry->first.starts_with(prefix); ++entry) {
        if (entry->first.ends_with(".weight"))
            linears.push_back(entry->first.substr(0, entry->first.size() - 7));
    }
    if (linears.size() != 1)
        throw ModelImportError("The checkpoint's joint_net does not hold exactly one linear layer");
    return linears.front();
}

void requireSetting(bool supported, const std::string& what) {
    if (!supported)
        throw ModelImportError("Unsupported checkpoint setting: " + what);
}

void save(torch::jit::Module& module, const char* source, const std::filesystem::path& file) {
    try {
        module.define(source);
        module.save(file.string());
    } catch (const std::exception& error) {
        throw ModelImportError("Could not write " + file.string() + ": " + error.what());
    }
}

// The stored window (win samples) centred in n_fft samples, as torch.stft pads it.
torch::Tensor centredWindow(const torch::Tensor& window, std::int64_t nFft) {
    auto padded = torch::zeros({nFft});
    padded.narrow(0, (nFft - window.size(0)) / 2, window.size(0)).copy_(window);
    return padded;
}

} // namespace

void ScriptModuleBuilder::savePreprocessor(const NemoCheckpoint& checkpoint,
                                           const std::filesystem::path& file) {
    const auto& settings = checkpoint.config.preprocessor;
    requireSetting(settings.normalize == "NA", "preprocessor.normalize " + settings.normalize);
    requireSetting(settings.logZeroGuardType == "add",
                   "preprocessor.log_zero_guard_type " + settings.logZeroGuardType);
    requireSetting(settings.frameSplicing == 1, "preprocessor.frame_splicing");
    const auto window = CheckpointTensors::get(checkpoint, "preprocessor.featurizer.window");
    requireSetting(window.dim() == 1 && window.size(0) <= settings.nFft,
                   "a window longer than n_fft");
    torch::jit::Module module("Preprocessor");
    module.register_buffer("window", centredWindow(window, settings.nFft));
    module.register_buffer("filterbank",
                           CheckpointTensors::get(checkpoint, "preprocessor.featurizer.fb")[0]);
    module.register_attribute("preemph", c10::FloatType::get(), settings.preemph);
    module.register_attribute("mag_power", c10::FloatType::get(), settings.magPower);
    module.register_attribute("log_guard", c10::FloatType::get(), settings.logZeroGuardValue);
    module.register_attribute("n_fft", c10::IntType::get(), settings.nFft);
    module.register_attribute("hop", c10::IntType::get(), settings.hopSamples);
    save(module, ModuleSources::preprocessor, file);
}

void ScriptModuleBuilder::saveDecoder(const NemoCheckpoint& checkpoint,
                                      const std::filesystem::path& file) {
    const auto& settings = checkpoint.config.decoder;
    auto embedding = CheckpointTensors::get(checkpoint, "decoder.prediction.embed.weight");
    // The blank is the start symbol, whose input is zero.
    embedding[settings.vocabSize].zero_();
    const std::string lstm = "decoder.prediction.dec_rnn.lstm.";
    const auto tensor = [&](const std::string& name, std::int64_t layer) {
        return CheckpointTensors::get(checkpoint, lstm + name + "_l" + std::to_string(layer));
    };
    std::vector<torch::Tensor> upperWeightIh, upperBiasIh, weightHh, biasHh;
    for (std::int64_t layer = 0; layer < settings.rnnLayers; ++layer) {
        if (layer > 0) {
            upperWeightIh.push_back(tensor("weight_ih", layer));
            upperBiasIh.push_back(tensor("bias_ih", layer));
        }
        weightHh.push_back(tensor("weight_hh", layer));
        biasHh.push_back(tensor("bias_hh", layer));
    }
    const auto hidden = settings.predHidden;
    const auto stacked = [](const std::vector<torch::Tensor>& tensors,
                            std::vector<std::int64_t> emptyShape) {
        return tensors.empty() ? torch::zeros(emptyShape) : torch::stack(tensors);
    };
    torch::jit::Module module("Decoder");
    module.register_buffer("token_gates",
                           torch::linear(embedding, tensor("weight_ih", 0), tensor("bias_ih", 0)));
    module.register_buffer("upper_weight_ih", stacked(upperWeightIh, {0, 4 * hidden, hidden}));
    module.register_buffer("upper_bias_ih", stacked(upperBiasIh, {0, 4 * hidden}));
    module.register_buffer("weight_hh", torch::stack(weightHh));
    module.register_buffer("bias_hh", torch::stack(biasHh));
    module.register_attribute("layers", c10::IntType::get(), settings.rnnLayers);
    save(module, ModuleSources::decoder, file);
}

void ScriptModuleBuilder::saveJoint(const NemoCheckpoint& checkpoint,
                                    const std::filesystem::path& file) {
    requireSetting(checkpoint.config.joint.activation == "relu",
                   "joint activation " + checkpoint.config.joint.activation);
    const auto output = jointOutputName(checkpoint);
    torch::jit::Module module("Joint");
    module.register_buffer("enc_weight", CheckpointTensors::get(checkpoint, "joint.enc.weight"));
    module.register_buffer("enc_bias", CheckpointTensors::get(checkpoint, "joint.enc.bias"));
    module.register_buffer("pred_weight", CheckpointTensors::get(checkpoint, "joint.pred.weight"));
    module.register_buffer("pred_bias", CheckpointTensors::get(checkpoint, "joint.pred.bias"));
    module.register_buffer("out_weight", CheckpointTensors::get(checkpoint, output + ".weight"));
    module.register_buffer("out_bias", CheckpointTensors::get(checkpoint, output + ".bias"));
    save(module, ModuleSources::joint, file);
}
