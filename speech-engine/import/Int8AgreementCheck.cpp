#include "speech-engine/import/Int8AgreementCheck.h"

#include "speech-engine/import/SpokenSample.h"
#include "speech-engine/runtime/ModelRunner.h"

#include <algorithm>
#include <cmath>
#include <span>

namespace fs = std::filesystem;

namespace {

using Values = std::vector<float>;
using Measure = Int8Agreement::Measure;

// What the encoders are stepped with: the chunks' mel windows and the caches they start from.
struct Stream {
    std::vector<MultiArray> windows;
    std::vector<std::int64_t> channelCacheShape;
    std::vector<std::int64_t> timeCacheShape;
};

// What one step gives: the encoder's output and every layer's, [layers, frames, d_model].
struct StepOutputs {
    Values encoded;
    Values layers;
};

MultiArray intScalar(std::int32_t value) {
    auto array = MultiArray::createZeroed({1}, MultiArrayDataType::int32);
    *array.data<std::int32_t>() = value;
    return array;
}

// Throws ModelImportError for an output the model did not give as float32.
MultiArray floatOutput(const ModelFeatures& outputs, const std::string& name) {
    const auto found = outputs.find(name);
    if (found == outputs.end() || found->second.dataType() != MultiArrayDataType::float32)
        throw ModelImportError("The model gave no " + name + " to check int8 against float32");
    return found->second;
}

Values valuesOf(const MultiArray& array) {
    Values values;
    values.reserve(std::size_t(array.count()));
    const auto* data = array.data<float>();
    array.forEachOffset([&](std::int64_t offset) { values.push_back(data[offset]); });
    return values;
}

// The whole signal's mel [1, F, frames], each frame's window centred on it as streaming centres
// it: zeros before and after the signal.
MultiArray melOf(const ModelRunner& preprocessor, const Values& samples,
                 const NemoModelConfig::Preprocessor& settings) {
    const auto before = settings.nFft / 2 + 1, after = settings.nFft / 2;
    const auto signal = std::int64_t(samples.size());
    auto audio =
        MultiArray::createZeroed({1, before + signal + after}, MultiArrayDataType::float32);
    std::ranges::copy(samples, audio.data<float>() + before);
    return floatOutput(
        preprocessor.predict(
            {{"audio", audio}, {"audio_length", intScalar(std::int32_t(before + signal))}}),
        "mel");
}

// Each whole chunk's window: the pre-encode cache's frames before it (zeros before the signal),
// then its own.
std::vector<MultiArray> windowsOf(const MultiArray& mel, std::int64_t chunk, std::int64_t cached) {
    const auto features = mel.shape()[1], frames = mel.shape()[2];
    std::vector<MultiArray> windows;
    for (std::int64_t start = 0; start + chunk <= frames; start += chunk) {
        auto window =
            MultiArray::createZeroed({1, features, cached + chunk}, MultiArrayDataType::float32);
        for (std::int64_t f = 0; f < features; ++f)
            for (std::int64_t t = std::max<std::int64_t>(0, cached - start); t < cached + chunk;
                 ++t)
                window.at<float>({0, f, t}) = mel.at<float>({0, f, start + t - cached});
        windows.push_back(std::move(window));
    }
    return windows;
}

// Every chunk through one encoder, on its own caches from zeros.
std::optional<std::vector<StepOutputs>> stepThrough(const fs::path& file, const Stream& stream,
                                                    const std::function<bool()>& cancelled) {
    const auto encoder = ModelRunner::load(file.string(), {});
    auto channel = MultiArray::createZeroed(stream.channelCacheShape, MultiArrayDataType::float32);
    auto time = MultiArray::createZeroed(stream.timeCacheShape, MultiArrayDataType::float32);
    auto length = intScalar(0);
    std::vector<StepOutputs> steps;
    for (const auto& window : stream.windows) {
        if (cancelled && cancelled())
            return std::nullopt;
        auto out = encoder->predict({{"mel", window},
                                     {"mel_length", intScalar(std::int32_t(window.shape()[2]))},
                                     {"cache_channel", channel},
                                     {"cache_time", time},
                                     {"cache_len", length}},
                                    "forward_layers");
        steps.push_back(
            {valuesOf(floatOutput(out, "encoded")), valuesOf(floatOutput(out, "layer_outputs"))});
        channel = floatOutput(out, "cache_channel_out");
        time = floatOutput(out, "cache_time_out");
        const auto next = out.find("cache_len_out");
        if (next == out.end())
            throw ModelImportError("The encoder gave no cache_len_out");
        length = next->second;
    }
    return steps;
}

// An output that is all zeros on one side only agrees in nothing.
Measure measureOf(std::span<const float> int8, std::span<const float> fp32) {
    double dot = 0, int8Norm = 0, fp32Norm = 0, largestDifference = 0, largest = 0;
    for (std::size_t i = 0; i < fp32.size(); ++i) {
        dot += double(int8[i]) * fp32[i];
        int8Norm += double(int8[i]) * int8[i];
        fp32Norm += double(fp32[i]) * fp32[i];
        largestDifference = std::max(largestDifference, std::abs(double(int8[i]) - fp32[i]));
        largest = std::max(largest, std::abs(double(fp32[i])));
    }
    const auto norms = std::sqrt(int8Norm * fp32Norm);
    return {norms > 0 ? dot / norms : double(int8Norm == fp32Norm),
            largest > 0 ? largestDifference / largest : double(largestDifference > 0)};
}

void keepWorst(Measure& worst, const Measure& chunk) {
    worst.cosine = std::min(worst.cosine, chunk.cosine);
    worst.maxDifference = std::max(worst.maxDifference, chunk.maxDifference);
}

// One chunk's outputs into the worst so far.
void compare(const StepOutputs& int8, const StepOutputs& fp32, Int8Agreement& agreement) {
    const auto layers = agreement.layers.size();
    if (int8.encoded.size() != fp32.encoded.size() || int8.layers.size() != fp32.layers.size() ||
        fp32.layers.size() % layers != 0)
        throw ModelImportError("The int8 and float32 encoders gave outputs of other sizes");
    keepWorst(agreement.encoder, measureOf(int8.encoded, fp32.encoded));
    const auto size = fp32.layers.size() / layers;
    const std::span<const float> int8Layers(int8.layers), fp32Layers(fp32.layers);
    for (std::size_t l = 0; l < layers; ++l)
        keepWorst(agreement.layers[l], measureOf(int8Layers.subspan(l * size, size),
                                                 fp32Layers.subspan(l * size, size)));
}

std::optional<Int8Agreement> measureOn(const Values& samples, const NemoModelConfig& config,
                                       const ImportPlan& plan,
                                       const Int8AgreementCheck::Models& models,
                                       const std::function<bool()>& cancelled) {
    const auto& encoder = config.encoder;
    const auto mel =
        melOf(*ModelRunner::load(models.preprocessor.string(), {}), samples, config.preprocessor);
    const Stream stream{windowsOf(mel, plan.chunkMelFrames, encoder.subsamplingFactor + 1),
                        {1, encoder.layers, plan.attContext.first, 2 * encoder.dModel},
                        {1, encoder.layers, encoder.dModel, encoder.convKernelSize - 1}};
    Int8Agreement agreement{SpokenSample::description(), {}, {}, {}};
    if (stream.windows.empty()) {
        agreement.notMeasured = "the spoken sample is shorter than one chunk";
        return agreement;
    }
    const auto fp32 = stepThrough(models.fp32Encoder, stream, cancelled);
    const auto int8 = fp32 ? stepThrough(models.int8Encoder, stream, cancelled) : std::nullopt;
    if (!int8)
        return std::nullopt;
    agreement.layers.resize(std::size_t(encoder.layers));
    for (std::size_t k = 0; k < fp32->size(); ++k)
        compare((*int8)[k], (*fp32)[k], agreement);
    return agreement;
}

} // namespace

std::optional<Int8Agreement> Int8AgreementCheck::measure(const NemoModelConfig& config,
                                                         const ImportPlan& plan,
                                                         const Models& models,
                                                         const fs::path& scratch,
                                                         const std::function<bool()>& cancelled) {
    const auto sample = SpokenSample::speak(scratch, double(config.sampleRate));
    if (sample.samples.empty())
        return Int8Agreement{SpokenSample::description(), sample.failure, {}, {}};
    try {
        return measureOn(sample.samples, config, plan, models, cancelled);
    } catch (const ModelImportError&) {
        throw;
    } catch (const std::exception& error) {
        throw ModelImportError(std::string("Could not check int8 against float32: ") +
                               error.what());
    }
}
