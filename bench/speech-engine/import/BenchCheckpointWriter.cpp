#include "bench/speech-engine/import/BenchCheckpointWriter.h"

#include "bench/speech-engine/import/StateDictPickleWriter.h"
#include "bench/speech-engine/import/SyntheticTokenizer.h"
#include "bench/speech-engine/import/TorchZipWriter.h"
#include "speech-engine/import/checkpoint/NemoConfigReader.h"
#include "speech-engine/import/checkpoint/NemoTensorLayout.h"
#include "speech-engine/import/checkpoint/ScratchFile.h"

#include <archive.h>
#include <archive_entry.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <stdexcept>

namespace {

const std::string tokenizerMember = "4f1c2a9be0d34c5e8a7b6c5d4e3f2a1b_tokenizer.model";
const std::string jointOutput = "joint.joint_net.2"; // joint dropout 0.2 in the published configs

std::string configText(const BenchCheckpointWriter::Options& options, int vocabulary) {
    const std::string contexts = options.multilingual
                                     ? "[[70, 13], [70, 6], [56, 3], [70, 1], [70, 0]]"
                                     : "[[70, 13], [70, 6], [70, 1], [70, 0]]";
    std::string prompt;
    if (options.multilingual)
        prompt = "  initialize_prompt_feature: true\n  num_prompts: 128\n  prompt_dictionary:\n"
                 "    en-US: 0\n    en-GB: 1\n    es-ES: 2\n    zh-CN: 4\n    fr-FR: 8\n"
                 "    de-DE: 9\n    ja-JP: 10\n    ko-KR: 14\n    ko: 14\n    auto: 101\n";
    const std::string v = std::to_string(vocabulary);
    return "sample_rate: 16000\n"
           "model_defaults:\n  enc_hidden: 1024\n  pred_hidden: 640\n  joint_hidden: 640\n" +
           prompt + "tokenizer:\n  dir: /data/tokenizer\n  type: bpe\n  model_path: nemo:" +
           tokenizerMember +
           "\n"
           "preprocessor:\n  _target_: "
           "nemo.collections.asr.modules.AudioToMelSpectrogramPreprocessor\n"
           "  sample_rate: 16000\n  normalize: NA\n  window_size: 0.025\n  window_stride: 0.01\n"
           "  window: hann\n  features: 128\n  n_fft: 512\n  frame_splicing: 1\n  dither: 1.0e-05\n"
           "  pad_to: 0\n"
           "encoder:\n  _target_: nemo.collections.asr.modules.ConformerEncoder\n"
           "  feat_in: ${model.preprocessor.features}\n  feat_out: -1\n  n_layers: 24\n"
           "  d_model: 1024\n  use_bias: true\n  subsampling: dw_striding\n  subsampling_factor: "
           "8\n"
           "  subsampling_conv_channels: 256\n  causal_downsampling: true\n  ff_expansion_factor: "
           "4\n"
           "  self_attention_model: rel_pos\n  n_heads: 8\n  att_context_size: " +
           contexts +
           "\n"
           "  att_context_style: chunked_limited\n  xscaling: true\n  untie_biases: true\n"
           "  conv_kernel_size: 9\n  conv_norm_type: batch_norm\n  conv_context_size: causal\n"
           "decoder:\n  _target_: nemo.collections.asr.modules.RNNTDecoder\n  normalization_mode: "
           "null\n"
           "  blank_as_pad: true\n  prednet:\n    pred_hidden: "
           "${model.model_defaults.pred_hidden}\n"
           "    pred_rnn_layers: 2\n    dropout: 0.2\n  vocab_size: " +
           v +
           "\n"
           "joint:\n  _target_: nemo.collections.asr.modules.RNNTJoint\n  jointnet:\n"
           "    joint_hidden: ${model.model_defaults.joint_hidden}\n    activation: relu\n"
           "    dropout: 0.2\n  num_classes: " +
           v +
           "\n"
           "decoding:\n  strategy: greedy_batch\n  greedy:\n    max_symbols: 10\n" +
           (options.multilingual ? "  strip_lang_tags: true\n" : "") +
           "target: nemo.collections.asr.models.rnnt_bpe_models" +
           (options.multilingual ? "_prompt.EncDecRNNTBPEModelWithPrompt\n"
                                 : ".EncDecRNNTBPEModel\n") +
           "nemo_version: 2.8.0\n";
}

// Uniform values in [-0.05, 0.05) from a fast generator: the size matters, not the values.
class RandomFloats {
public:
    void fill(std::vector<float>& values) {
        for (float& value : values) {
            state ^= state << 13;
            state ^= state >> 7;
            state ^= state << 17;
            value = static_cast<float>(state >> 40) * 0x1p-24f * 0.1f - 0.05f;
        }
    }

private:
    std::uint64_t state = 0x9e3779b97f4a7c15ull;
};

std::vector<float> tensorValues(const std::string& name, std::int64_t elements,
                                const NemoModelConfig& config, RandomFloats& random) {
    std::vector<float> values(static_cast<std::size_t>(elements));
    random.fill(values);
    if (name.ends_with("running_var"))
        for (float& value : values)
            value += 1.0f; // variances must be positive
    // A filter bank and a window are never negative: a negative mel power has no logarithm.
    if (name == "preprocessor.featurizer.fb" || name == "preprocessor.featurizer.window")
        for (float& value : values)
            value = std::abs(value);
    if (name == "decoder.prediction.embed.weight") // the blank's padding row is zero
        std::fill(values.end() - static_cast<std::ptrdiff_t>(config.decoder.predHidden),
                  values.end(), 0.0f);
    return values;
}

void writeWeights(const std::filesystem::path& file, const NemoModelConfig& config) {
    auto shapes = NemoTensorLayout::expected(config, jointOutput);
    std::vector<StateDictPickleWriter::Tensor> index;
    for (const auto& [name, shape] : shapes)
        index.push_back({name, "FloatStorage", std::to_string(index.size()), shape});
    for (std::int64_t n = 0; n < config.encoder.layers; ++n)
        index.push_back(
            {"encoder.layers." + std::to_string(n) + ".conv.batch_norm.num_batches_tracked",
             "LongStorage",
             std::to_string(index.size()),
             {}});
    TorchZipWriter zip(file);
    zip.add("model_weights/data.pkl", StateDictPickleWriter::write(index));
    zip.add("model_weights/byteorder", std::string("little"));
    RandomFloats random;
    for (const auto& tensor : index) {
        std::int64_t elements = 1;
        for (std::int64_t size : tensor.shape)
            elements *= size;
        const std::string entry = "model_weights/data/" + tensor.storageKey;
        if (tensor.storageType == "LongStorage") {
            const std::int64_t count = 1000;
            zip.add(entry, std::as_bytes(std::span(&count, 1)));
            continue;
        }
        const auto values = tensorValues(tensor.name, elements, config, random);
        zip.add(entry, std::as_bytes(std::span(values)));
    }
    zip.add("model_weights/version", std::string("3\n"));
    zip.add("model_weights/.data/serialization_id", std::string("1234567890123456789012345678"));
    zip.finish();
}

using Writer = std::unique_ptr<archive, decltype(&archive_write_free)>;

void check(int status, archive* tar) {
    if (status < ARCHIVE_WARN)
        throw std::runtime_error(std::string("Writing the checkpoint failed: ") +
                                 (archive_error_string(tar) ? archive_error_string(tar) : ""));
}

void addMember(archive* tar, const std::string& name, std::int64_t size,
               const std::function<void()>& writeData) {
    const std::unique_ptr<archive_entry, decltype(&archive_entry_free)> entry(archive_entry_new(),
                                                                              archive_entry_free);
    archive_entry_copy_pathname(entry.get(), ("./" + name).c_str());
    archive_entry_set_filetype(entry.get(), AE_IFREG);
    archive_entry_set_perm(entry.get(), 0644);
    archive_entry_set_size(entry.get(), size);
    check(archive_write_header(tar, entry.get()), tar);
    writeData();
}

void addText(archive* tar, const std::string& name, const std::string& content) {
    addMember(tar, name, static_cast<std::int64_t>(content.size()), [&] {
        check(static_cast<int>(archive_write_data(tar, content.data(), content.size()) < 0
                                   ? ARCHIVE_FATAL
                                   : ARCHIVE_OK),
              tar);
    });
}

void addFile(archive* tar, const std::string& name, const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    addMember(tar, name, static_cast<std::int64_t>(std::filesystem::file_size(file)), [&] {
        std::vector<char> block(1 << 20);
        while (in.read(block.data(), static_cast<std::streamsize>(block.size())) || in.gcount() > 0)
            if (archive_write_data(tar, block.data(), static_cast<std::size_t>(in.gcount())) < 0)
                check(ARCHIVE_FATAL, tar);
    });
}

} // namespace

void BenchCheckpointWriter::write(const std::filesystem::path& nemo, const Options& options) {
    const int vocabulary = options.multilingual ? 13087 : 1024;
    const std::string tokenizer = SyntheticTokenizer::train(
        vocabulary, options.multilingual ? std::vector<std::string>{"<en-US>", "<ko-KR>"}
                                         : std::vector<std::string>{});
    const std::string config = configText(options, vocabulary);
    const ScratchFile weights(nemo.string() + ".weights.partial");
    writeWeights(weights.path(), NemoConfigReader::parse(config));

    const Writer tar(archive_write_new(), archive_write_free);
    check(archive_write_set_format_pax_restricted(tar.get()), tar.get());
    check(archive_write_open_filename(tar.get(), nemo.c_str()), tar.get());
    addText(tar.get(), tokenizerMember, tokenizer);
    addText(tar.get(), "model_config.yaml", config);
    addFile(tar.get(), "model_weights.ckpt", weights.path());
    check(archive_write_close(tar.get()), tar.get());
}
