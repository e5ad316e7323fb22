#include "speech-engine/import/NemoConfigReader.h"
#include "speech-engine/import/ModelImporter.h"
#include "speech-engine/import/NemoArchive.h"
#include "tests/speech-engine/import/ArchiveTestSupport.h"

#include <QTest>

#include <functional>

namespace fs = std::filesystem;
using Edits = std::vector<std::pair<std::string, std::string>>;
using Check = std::function<bool(const NemoModelConfig&)>;

namespace {

const fs::path fixtures = fs::path(RELAYO_SOURCE_DIR) / "../shared/fixtures/nemo";

std::string configOf(const std::string& model) {
    for (const auto& member : ArchiveTestSupport::readMembers(
             ArchiveTestSupport::readFile(fixtures / ("small-" + model + ".nemo"))))
        if (member.name.ends_with(NemoArchive::configMember))
            return member.content;
    throw std::runtime_error("no config in " + model);
}

// The fixture's config with each edit's first occurrence replaced.
std::string edited(const std::string& model, const Edits& edits) {
    std::string config = configOf(model);
    for (const auto& [from, to] : edits) {
        const auto at = config.find(from);
        if (at == std::string::npos)
            throw std::runtime_error("config has no " + from);
        config.replace(at, from.size(), to);
    }
    return config;
}

const std::string contexts = "  att_context_size:\n  - - 70\n    - 6\n  - - 70\n    - 1\n  - - 70\n"
                             "    - 13\n  - - 70\n    - 0\n";

} // namespace

class NemoConfigReaderTest : public QObject {
    Q_OBJECT

private slots:
    void readsVariants_data() {
        QTest::addColumn<std::string>("model");
        QTest::addColumn<Edits>("edits");
        QTest::addColumn<Check>("check");
        QTest::newRow("one context pair")
            << std::string("en") << Edits{{contexts, "  att_context_size: [56, 3]\n"}}
            << Check([](const NemoModelConfig& c) {
                   return c.encoder.attContextSizes ==
                          std::vector<std::pair<std::int64_t, std::int64_t>>{{56, 3}};
               });
        QTest::newRow("conv channels -1 mean d_model")
            << std::string("en")
            << Edits{{"subsampling_conv_channels: 48", "subsampling_conv_channels: -1"}}
            << Check([](const NemoModelConfig& c) {
                   return c.encoder.subsamplingConvChannels == 96;
               });
        QTest::newRow("max_symbols missing")
            << std::string("en") << Edits{{"    max_symbols: 10\n", ""}}
            << Check([](const NemoModelConfig& c) { return c.decoding.maxSymbols == 10; });
        QTest::newRow("max_symbols zero")
            << std::string("en") << Edits{{"max_symbols: 10", "max_symbols: 0"}}
            << Check([](const NemoModelConfig& c) { return c.decoding.maxSymbols == 10; });
        QTest::newRow("max_symbols set")
            << std::string("en") << Edits{{"max_symbols: 10", "max_symbols: 3"}}
            << Check([](const NemoModelConfig& c) { return c.decoding.maxSymbols == 3; });
        QTest::newRow("interpolations")
            << std::string("en")
            << Edits{{"  d_model: 96", "  d_model: ${model.model_defaults.enc_hidden}"},
                     {"    pred_hidden: 48", "    pred_hidden: ${model_defaults.pred_hidden}"}}
            << Check([](const NemoModelConfig& c) {
                   return c.encoder.dModel == 96 && c.decoder.predHidden == 48;
               });
        QTest::newRow("defaults of the mel settings")
            << std::string("en") << Edits{} << Check([](const NemoModelConfig& c) {
                   const auto& p = c.preprocessor;
                   return p.nFft == 512 && p.preemph == 0.97 && p.logZeroGuardValue == 0x1p-24 &&
                          p.magPower == 2.0 && c.encoder.convContextSize == "causal" &&
                          c.tokenizerModel == "c11dad9e00c5438787a69f10357fffff_tokenizer.model";
               });
        QTest::newRow("language-id prompt keys")
            << std::string("multi")
            << Edits{{"initialize_prompt_feature", "initialize_lang_id_prompt"},
                     {"  num_prompts: 128", "  num_lang_id_prompts: 102"},
                     {"  prompt_dictionary", "  lang_id_prompt_dictionary"}}
            << Check([](const NemoModelConfig& c) {
                   return c.prompt.enabled && c.prompt.numPrompts == 102 &&
                          c.prompt.modulePrefix == "lang_id_prompt_kernel" &&
                          c.prompt.dictionary.at("ko-KR") == 14;
               });
        QTest::newRow("default language tag pattern")
            << std::string("multi") << Edits{} << Check([](const NemoModelConfig& c) {
                   return c.decoding.stripLangTags &&
                          c.decoding.langTagPattern == R"(\s*<[a-z]{2}-[A-Z]{2}>)" &&
                          c.prompt.modulePrefix == "prompt_kernel";
               });
        QTest::newRow("own language tag pattern")
            << std::string("multi")
            << Edits{{"  strip_lang_tags: true\n",
                      "  strip_lang_tags: true\n  lang_tag_pattern: <[a-z]+>\n"}}
            << Check([](const NemoModelConfig& c) {
                   return c.decoding.langTagPattern == "<[a-z]+>";
               });
    }
    void readsVariants() {
        QFETCH(std::string, model);
        QFETCH(Edits, edits);
        QFETCH(Check, check);
        QVERIFY(check(NemoConfigReader::parse(edited(model, edits))));
    }

    void refusesConfigs_data() {
        QTest::addColumn<Edits>("edits");
        QTest::addColumn<QString>("failure");
        QTest::newRow("normalized features") << Edits{{"normalize: NA", "normalize: per_feature"}}
                                             << "preprocessor.normalize is \"per_feature\"";
        QTest::newRow("normalize missing")
            << Edits{{"  normalize: NA\n", ""}} << "preprocessor.normalize";
        QTest::newRow("window") << Edits{{"window: hann", "window: hamming"}}
                                << "preprocessor.window";
        QTest::newRow("frame splicing")
            << Edits{{"frame_splicing: 1", "frame_splicing: 3"}} << "frame_splicing";
        QTest::newRow("padding") << Edits{{"pad_to: 0", "pad_to: 16"}} << "pad_to";
        QTest::newRow("absolute positions")
            << Edits{{"self_attention_model: rel_pos", "self_attention_model: abs_pos"}}
            << "self_attention_model";
        QTest::newRow("full context")
            << Edits{{"att_context_style: chunked_limited", "att_context_style: regular"}}
            << "att_context_style";
        QTest::newRow("unlimited context") << Edits{{contexts, "  att_context_size: [-1, -1]\n"}}
                                           << "encoder.att_context_size is -1";
        QTest::newRow("context not a multiple")
            << Edits{{contexts, "  att_context_size: [70, 3]\n"}}
            << "multiple of the right context";
        QTest::newRow("symmetric conv")
            << Edits{{"conv_context_size: causal", "conv_context_size: [4, 4]"}}
            << "conv_context_size";
        QTest::newRow("non-causal subsampling")
            << Edits{{"causal_downsampling: true", "causal_downsampling: false"}}
            << "causal_downsampling";
        QTest::newRow("striding") << Edits{{"subsampling: dw_striding", "subsampling: striding"}}
                                  << "subsampling";
        QTest::newRow("tanh joint")
            << Edits{{"activation: relu", "activation: tanh"}} << "activation";
        QTest::newRow("absurd width")
            << Edits{{"  d_model: 96", "  d_model: 1000000"}} << "encoder.d_model is 1000000";
        QTest::newRow("negative layers")
            << Edits{{"n_layers: 2", "n_layers: -2"}} << "encoder.n_layers is -2";
        QTest::newRow("huge kernel")
            << Edits{{"conv_kernel_size: 9", "conv_kernel_size: 99"}} << "conv_kernel_size";
        QTest::newRow("absurd vocabulary")
            << Edits{{"vocab_size: 120", "vocab_size: 5000000"}} << "decoder.vocab_size";
        QTest::newRow("aggregate tokenizer") << Edits{{"type: bpe", "type: agg"}} << "aggregate";
        QTest::newRow("tokenizer outside the archive")
            << Edits{{"model_path: nemo:", "model_path: /data/"}} << "tokenizer.model_path";
        QTest::newRow("dangling interpolation")
            << Edits{{"  d_model: 96", "  d_model: ${model.encoder.width}"}}
            << "refers to ${model.encoder.width}";
        QTest::newRow("wrong kind")
            << Edits{{"  d_model: 96", "  d_model: wide"}} << "encoder.d_model has a value";
        QTest::newRow("not YAML") << Edits{{"sample_rate: 16000", "sample_rate: [16000"}}
                                  << "not valid YAML";
    }
    void refusesConfigs() {
        QFETCH(Edits, edits);
        QFETCH(QString, failure);
        QString description;
        try {
            NemoConfigReader::parse(edited("en", edits));
        } catch (const ModelImportError& error) {
            description = error.what();
        }
        QVERIFY2(description.contains(failure), qPrintable(description));
    }

    void refusesPromptIndexOutsideItsPrompts() {
        QVERIFY_THROWS_EXCEPTION(ModelImportError, NemoConfigReader::parse(edited(
                                                       "multi", {{"auto: 101", "auto: 128"}})));
    }
};

QTEST_GUILESS_MAIN(NemoConfigReaderTest)
#include "NemoConfigReaderTest.moc"
