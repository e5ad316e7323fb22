#include "speech-engine/import/EncoderModuleBuilder.h"
#include "speech-engine/ModelRunner.h"
#include "speech-engine/import/NemoCheckpointReader.h"
#include "tests/speech-engine/import/Npy.h"

#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <random>

namespace {

using Context = std::pair<std::int64_t, std::int64_t>;
using CheckpointEdit = std::function<void(NemoCheckpoint&)>;
constexpr std::int64_t koreanPrompt = 14;
constexpr int dModel = 96, layers = 2; // of both fixture models

NemoCheckpoint fixtureCheckpoint(const std::string& model) {
    const QTemporaryDir scratch;
    return NemoCheckpointReader::read(nemoFixturePath("small-" + model + ".nemo"),
                                      scratch.path().toStdString());
}

Npy readFixture(const std::string& name) {
    return Npy::read(nemoFixturePath(name + ".npy"));
}

// Entry k of a fixture array whose first axis counts steps.
const float* entry(const Npy& source, std::int64_t k) {
    return source.floats.data() + k * (source.elementCount() / source.shape[0]);
}

// Frames [first, first + count) of a mel [1, F, frames], zeros before frame 0.
MultiArray melFrames(const Npy& mel, std::int64_t first, std::int64_t count) {
    const auto features = mel.shape[1], frames = mel.shape[2];
    auto window = MultiArray::createZeroed({1, features, count}, MultiArrayDataType::float32);
    for (std::int64_t f = 0; f < features; ++f)
        for (std::int64_t t = std::max<std::int64_t>(0, -first); t < count; ++t)
            window.at<float>({0, f, t}) = mel.floats[f * frames + first + t];
    return window;
}

std::vector<float> floatsOf(const MultiArray& array) {
    std::vector<float> values;
    array.forEachOffset([&](std::int64_t at) { values.push_back(array.data<float>()[at]); });
    return values;
}

struct Agreement {
    double maxDiff = 0, maxRef = 0, cosine = 0;

    // The fixture's tolerance for float32 implementations of NeMo's maths.
    bool float32() const { return maxDiff <= 1e-4 * std::max(1.0, maxRef); }
    // The fixture's criterion for an int8 encoder.
    bool int8() const { return cosine >= 0.999 && maxDiff <= 0.05 * maxRef; }
    QByteArray text() const {
        return QString("max |diff| %1 of max |ref| %2, cosine %3")
            .arg(maxDiff)
            .arg(maxRef)
            .arg(cosine, 0, 'f', 6)
            .toUtf8();
    }
};

Agreement agreement(const MultiArray& got, const float* ref) {
    Agreement result;
    double dot = 0, gotNorm = 0, refNorm = 0;
    const auto values = floatsOf(got);
    for (std::size_t i = 0; i < values.size(); ++i) {
        result.maxDiff = std::max(result.maxDiff, double(std::abs(values[i] - ref[i])));
        result.maxRef = std::max(result.maxRef, double(std::abs(ref[i])));
        dot += double(values[i]) * ref[i];
        gotNorm += double(values[i]) * values[i];
        refNorm += double(ref[i]) * ref[i];
    }
    result.cosine = dot / std::sqrt(gotNorm * refNorm);
    return result;
}

// The worst chunk of a stream, for the log.
struct Worst {
    double cosine = 1, relative = 0;
    void add(const Agreement& chunk) {
        cosine = std::min(cosine, chunk.cosine);
        relative = std::max(relative, chunk.maxDiff / chunk.maxRef);
    }
    ~Worst() {
        qInfo("%s: worst chunk cosine %.6f, max |diff| / max |ref| %.2e", QTest::currentDataTag(),
              cosine, relative);
    }
};

// A built encoder stepping on its own caches, from zeros with cache length 0.
class Encoder {
public:
    Encoder(const NemoCheckpoint& checkpoint, Context context, ModelPrecision precision,
            std::optional<std::int64_t> promptIndex = std::nullopt)
        : m_chunkFrames(8 * (context.second + 1)) {
        const auto path = m_folder.filePath("encoder.pt").toStdString();
        EncoderModuleBuilder::save(checkpoint, context, precision, promptIndex, path);
        m_runner = ModelRunner::load(path, {1});
    }
    // The fixture's model, with the Korean prompt where it has prompts.
    Encoder(const std::string& model, Context context, ModelPrecision precision)
        : Encoder(fixtureCheckpoint(model), context, precision,
                  model == "multi" ? std::optional(koreanPrompt) : std::nullopt) {}

    // Chunk k's window of a whole-signal mel: the 9 frames before the chunk and its new frames.
    MultiArray window(const Npy& mel, std::int64_t k) const {
        return melFrames(mel, m_chunkFrames * k - 9, 9 + m_chunkFrames);
    }

    // One step from the current caches, which it leaves as they are.
    ModelFeatures run(const MultiArray& mel, std::int32_t length) const {
        auto melLength = MultiArray::createZeroed({1}, MultiArrayDataType::int32);
        melLength.at<std::int32_t>({0}) = length;
        return m_runner->predict({{"mel", mel},
                                  {"mel_length", melLength},
                                  {"cache_channel", m_channel},
                                  {"cache_time", m_time},
                                  {"cache_len", m_length}});
    }
    // NeMo's caches, the channel cache already projected.
    void setCaches(const std::vector<float>& channel, const float* time, std::int32_t length) {
        std::copy(channel.begin(), channel.end(), m_channel.data<float>());
        std::copy_n(time, m_time.count(), m_time.data<float>());
        m_length.at<std::int32_t>({0}) = length;
    }
    ModelFeatures step(const MultiArray& mel) {
        auto out = run(mel, std::int32_t(mel.shape()[2]));
        m_channel = out.at("cache_channel_out");
        m_time = out.at("cache_time_out");
        m_length = out.at("cache_len_out");
        return out;
    }

private:
    std::int64_t m_chunkFrames;
    QTemporaryDir m_folder;
    std::unique_ptr<ModelRunner> m_runner;
    MultiArray m_channel =
        MultiArray::createZeroed({1, layers, 70, 2 * dModel}, MultiArrayDataType::float32);
    MultiArray m_time =
        MultiArray::createZeroed({1, layers, dModel, 8}, MultiArrayDataType::float32);
    MultiArray m_length = MultiArray::createZeroed({1}, MultiArrayDataType::int32);
};

std::string layerName(int layer, const std::string& name) {
    return "encoder.layers." + std::to_string(layer) + "." + name;
}

std::vector<float> tensorValues(const NemoCheckpoint& checkpoint, const std::string& name) {
    const auto& tensor = checkpoint.weights.at(name);
    const auto* data = reinterpret_cast<const float*>(tensor.storage->data());
    std::vector<float> values;
    for (std::int64_t i = 0; i < tensor.shape[0]; ++i)
        for (std::int64_t j = 0; j < (tensor.shape.size() > 1 ? tensor.shape[1] : 1); ++j)
            values.push_back(data[tensor.storageOffset + i * tensor.strides[0] +
                                  (tensor.shape.size() > 1 ? j * tensor.strides[1] : 0)]);
    return values;
}

// Sets a vector or matrix of `rows` rows.
void setTensor(NemoCheckpoint& checkpoint, const std::string& name,
               const std::vector<float>& values, std::int64_t rows = 0) {
    const auto count = std::int64_t(values.size());
    auto storage = std::make_shared<std::vector<std::byte>>(values.size() * sizeof(float));
    std::memcpy(storage->data(), values.data(), storage->size());
    checkpoint.weights[name] =
        rows ? CheckpointTensor{CheckpointTensor::Type::float32,
                                {rows, count / rows},
                                {count / rows, 1},
                                0,
                                std::move(storage)}
             : CheckpointTensor{
                   CheckpointTensor::Type::float32, {count}, {1}, 0, std::move(storage)};
}

std::vector<float> randomValues(std::size_t count, float low, float high, unsigned seed) {
    std::mt19937 generator(seed);
    std::uniform_real_distribution<float> uniform(low, high);
    std::vector<float> values(count);
    std::generate(values.begin(), values.end(), [&] { return uniform(generator); });
    return values;
}

// NeMo's channel cache [1, L, rows, D], each layer's normalised attention input, as the encoder
// keeps it: the rows' projected keys and values side by side.
std::vector<float> projectedCache(const NemoCheckpoint& checkpoint, const float* cache) {
    constexpr int rows = 70;
    std::vector<float> projected;
    for (int l = 0; l < layers; ++l) {
        const float* input = cache + l * rows * dModel;
        for (int r = 0; r < rows; ++r)
            for (const std::string name : {"self_attn.linear_k", "self_attn.linear_v"}) {
                const auto weight = tensorValues(checkpoint, layerName(l, name + ".weight"));
                const auto bias = layerName(l, name + ".bias");
                for (int o = 0; o < dModel; ++o) {
                    double sum =
                        checkpoint.weights.contains(bias) ? tensorValues(checkpoint, bias)[o] : 0.0;
                    for (int i = 0; i < dModel; ++i)
                        sum += double(weight[o * dModel + i]) * input[r * dModel + i];
                    projected.push_back(float(sum));
                }
            }
    }
    return projected;
}

// Pairs of edits of the English fixture model that give the same maths with settings the
// fixtures do not use.

// √D scaling against an output layer scaled down by √D.
void scaledInput(NemoCheckpoint& checkpoint, bool twin) {
    if (!twin)
        return;
    checkpoint.config.encoder.xscaling = true;
    for (const std::string name : {"weight", "bias"}) {
        auto values = tensorValues(checkpoint, "encoder.pre_encode.out." + name);
        for (auto& value : values)
            value /= std::sqrt(float(dModel));
        setTensor(checkpoint, "encoder.pre_encode.out." + name, values,
                  name == "weight" ? dModel : 0);
    }
}

// Key biases shift all scores of a query alike; value biases pass through attention weights
// that sum to one, so the output bias can take them back; a bias common to all channels
// vanishes in the layer norm after the depthwise convolution. All other biases are zero.
void biases(NemoCheckpoint& checkpoint, bool twin) {
    if (!twin)
        return;
    checkpoint.config.encoder.useBias = true;
    for (int l = 0; l < 2; ++l) {
        for (const auto& [name, size] : {std::pair{"feed_forward1.linear1", 4 * dModel},
                                         {"feed_forward1.linear2", dModel},
                                         {"feed_forward2.linear1", 4 * dModel},
                                         {"feed_forward2.linear2", dModel},
                                         {"self_attn.linear_q", dModel},
                                         {"conv.pointwise_conv1", 2 * dModel},
                                         {"conv.pointwise_conv2", dModel}})
            setTensor(checkpoint, layerName(l, std::string(name) + ".bias"),
                      std::vector<float>(size));
        setTensor(checkpoint, layerName(l, "self_attn.linear_k.bias"),
                  randomValues(dModel, -1, 1, l));
        const auto valueBias = randomValues(dModel, -1, 1, 10 + l);
        const auto out = tensorValues(checkpoint, layerName(l, "self_attn.linear_out.weight"));
        std::vector<float> outBias(dModel);
        for (int i = 0; i < dModel; ++i)
            for (int j = 0; j < dModel; ++j)
                outBias[i] -= out[i * dModel + j] * valueBias[j];
        setTensor(checkpoint, layerName(l, "self_attn.linear_v.bias"), valueBias);
        setTensor(checkpoint, layerName(l, "self_attn.linear_out.bias"), outBias);
        setTensor(checkpoint, layerName(l, "conv.depthwise_conv.bias"),
                  std::vector<float>(dModel, 0.3f));
    }
}

// Running statistics against the same affine map folded into the norm's weight and bias.
void batchNorm(NemoCheckpoint& checkpoint, bool twin) {
    constexpr float eps = 1e-5f;
    checkpoint.config.encoder.convNormType = "batch_norm";
    for (int l = 0; l < 2; ++l) {
        auto mean = randomValues(dModel, -0.5f, 0.5f, 20 + l);
        auto var = randomValues(dModel, 0.05f, 2, 30 + l);
        if (twin) {
            auto weight = tensorValues(checkpoint, layerName(l, "conv.batch_norm.weight"));
            auto bias = tensorValues(checkpoint, layerName(l, "conv.batch_norm.bias"));
            for (int c = 0; c < dModel; ++c) {
                weight[c] /= std::sqrt(var[c] + eps);
                bias[c] -= mean[c] * weight[c];
            }
            setTensor(checkpoint, layerName(l, "conv.batch_norm.weight"), weight);
            setTensor(checkpoint, layerName(l, "conv.batch_norm.bias"), bias);
            mean.assign(dModel, 0);
            var.assign(dModel, 1 - eps);
        }
        setTensor(checkpoint, layerName(l, "conv.batch_norm.running_mean"), mean);
        setTensor(checkpoint, layerName(l, "conv.batch_norm.running_var"), var);
    }
}

} // namespace

using TwinEdit = void (*)(NemoCheckpoint&, bool);
Q_DECLARE_METATYPE(TwinEdit)

class EncoderModuleBuilderTest : public QObject {
    Q_OBJECT

private slots:
    void streamMatchesNemo_data();
    void streamMatchesNemo();
    void shortChunkSeesOnlyItsFrames_data();
    void shortChunkSeesOnlyItsFrames();
    void otherSettingsKeepTheMaths_data();
    void otherSettingsKeepTheMaths();
    void refusesWhatItCannotBuild_data();
    void refusesWhatItCannotBuild();
};

void EncoderModuleBuilderTest::streamMatchesNemo_data() {
    QTest::addColumn<QString>("stream");
    QTest::addColumn<ModelPrecision>("precision");
    for (const auto* stream :
         {"en/stream_560ms", "en/stream_160ms", "multi/stream_560ms", "multi/stream_160ms"})
        for (const auto precision : {ModelPrecision::fp32, ModelPrecision::int8})
            QTest::addRow("%s %s", stream, precision == ModelPrecision::fp32 ? "fp32" : "int8")
                << QString(stream) << precision;
    QTest::newRow("en/stream_560ms_long fp32") << "en/stream_560ms_long" << ModelPrecision::fp32;
}

// NeMo's stream chunk by chunk: every chunk's output (for the multilingual model, after the
// Korean prompt's projection) and cache length, and in float32 the caches it leaves. Each step
// starts from NeMo's caches where the fixture has them; the long stream, which fills the
// attention cache and keeps rolling it, runs on its own caches to NeMo's last ones.
void EncoderModuleBuilderTest::streamMatchesNemo() {
    QFETCH(QString, stream);
    QFETCH(ModelPrecision, precision);
    const auto folder = stream.toStdString();
    const auto model = folder.substr(0, folder.find('/'));
    const bool chained = stream.endsWith("long"), fp32 = precision == ModelPrecision::fp32;
    Encoder encoder(model, {70, stream.contains("160ms") ? 1 : 6}, precision);
    const auto checkpoint = fixtureCheckpoint(model);
    const auto mel = readFixture(chained ? folder + "/mel" : model + "/mel");
    const auto encoded =
        readFixture(folder + (model == "multi" ? "/encoded_prompted" : "/encoded"));
    const auto cacheLen = readFixture(folder + "/cache_len");
    const auto channel =
        readFixture(folder + (chained ? "/cache_channel_final" : "/cache_channel"));
    const auto time = readFixture(folder + (chained ? "/cache_time_final" : "/cache_time"));
    Worst worst;
    for (std::int64_t k = 0; k < encoded.shape[0]; ++k) {
        if (!chained)
            encoder.setCaches(projectedCache(checkpoint, entry(channel, k)), entry(time, k),
                              cacheLen.ints[k]);
        const auto out = encoder.step(encoder.window(mel, k));
        const auto output = agreement(out.at("encoded"), entry(encoded, k));
        worst.add(output);
        QVERIFY2(fp32 ? output.float32() : output.int8(), output.text().constData());
        QCOMPARE(out.at("cache_len_out").at<std::int32_t>({0}), cacheLen.ints[k + 1]);
        const auto next = chained ? 0 : k + 1;
        if (!fp32 || (chained && k + 1 < encoded.shape[0]))
            continue;
        const auto projected = projectedCache(checkpoint, entry(channel, next));
        QVERIFY(agreement(out.at("cache_channel_out"), projected.data()).float32());
        QVERIFY(agreement(out.at("cache_time_out"), entry(time, next)).float32());
    }
}

void EncoderModuleBuilderTest::shortChunkSeesOnlyItsFrames_data() {
    QTest::addColumn<int>("rightContext");
    QTest::addColumn<int>("newFrames");
    QTest::addColumn<int>("validOutputs"); // 0: refused
    QTest::newRow("560 ms, 8 new frames") << 6 << 8 << 1;
    QTest::newRow("560 ms, 30 new frames") << 6 << 30 << 4;
    QTest::newRow("160 ms, 8 new frames") << 1 << 8 << 1;
    QTest::newRow("160 ms, a window longer than a chunk") << 1 << 24 << 0;
}

// A last chunk shorter than the window, given as the window's valid length, gives the same
// output frames as that chunk cut to its length: neither the subsampling, the attention nor
// the convolution lets the frames past the end in. The cache length still grows by the whole
// window's frames, as in NeMo. A window with more frames than a chunk is refused.
void EncoderModuleBuilderTest::shortChunkSeesOnlyItsFrames() {
    QFETCH(int, rightContext);
    QFETCH(int, newFrames);
    QFETCH(int, validOutputs);
    Encoder encoder("en", {70, rightContext}, ModelPrecision::fp32);
    const auto mel = readFixture("en/mel");
    encoder.step(encoder.window(mel, 0));
    encoder.step(encoder.window(mel, 1));
    const std::int32_t length = 9 + newFrames;
    const auto cut = melFrames(mel, 8 * (rightContext + 1) * 2 - 9, length);
    if (!validOutputs) {
        QVERIFY_THROWS_EXCEPTION(std::exception, encoder.run(cut, length));
        return;
    }
    const auto alone = encoder.run(cut, length);
    const auto whole = encoder.run(encoder.window(mel, 2), length);
    QCOMPARE(alone.at("encoded").shape()[2], validOutputs);
    const auto& wholeEncoded = whole.at("encoded");
    const auto validFrames =
        MultiArray::view(wholeEncoded.rawData(), {1, dModel, validOutputs}, wholeEncoded.strides(),
                         MultiArrayDataType::float32, wholeEncoded.owner());
    QVERIFY(agreement(validFrames, floatsOf(alone.at("encoded")).data()).float32());
    QCOMPARE(whole.at("cache_len_out").at<std::int32_t>({0}), 3 * (rightContext + 1));
}

void EncoderModuleBuilderTest::otherSettingsKeepTheMaths_data() {
    QTest::addColumn<TwinEdit>("edit");
    QTest::newRow("input scaling") << &scaledInput;
    QTest::newRow("biases") << &biases;
    QTest::newRow("batch norm") << &batchNorm;
}

// Settings the fixtures do not use, against maths they do: both checkpoints of a pair must
// give the same outputs over three chunks, each on the caches of the one before.
void EncoderModuleBuilderTest::otherSettingsKeepTheMaths() {
    QFETCH(TwinEdit, edit);
    const auto mel = readFixture("en/mel");
    std::vector<std::vector<float>> outputs[2];
    for (const bool twin : {false, true}) {
        auto checkpoint = fixtureCheckpoint("en");
        edit(checkpoint, twin);
        Encoder encoder(checkpoint, {70, 6}, ModelPrecision::fp32);
        for (std::int64_t k = 0; k < 3; ++k)
            outputs[twin].push_back(floatsOf(encoder.step(encoder.window(mel, k)).at("encoded")));
    }
    for (std::size_t k = 0; k < outputs[0].size(); ++k) {
        auto got = MultiArray::createZeroed({std::int64_t(outputs[1][k].size())},
                                            MultiArrayDataType::float32);
        std::copy(outputs[1][k].begin(), outputs[1][k].end(), got.data<float>());
        const auto result = agreement(got, outputs[0][k].data());
        QVERIFY2(result.float32(), result.text().constData());
    }
}

void EncoderModuleBuilderTest::refusesWhatItCannotBuild_data() {
    QTest::addColumn<QString>("model");
    QTest::addColumn<CheckpointEdit>("edit");
    QTest::addColumn<int>("rightContext");
    QTest::addColumn<int>("prompt"); // -1: none
    QTest::addColumn<QString>("file");
    const auto row = [](const char* name, const char* model, CheckpointEdit edit,
                        int rightContext = 6, int prompt = -1, const char* file = "encoder.pt") {
        QTest::newRow(name) << QString(model) << edit << rightContext << prompt << QString(file);
    };
    const CheckpointEdit none = [](NemoCheckpoint&) {};
    row("context the checkpoint does not list", "en", none, 2);
    row("prompt for a model without prompts", "en", none, 6, 14);
    row("prompt past the model's prompts", "multi", none, 6, 128);
    row("file in a missing folder", "en", none, 6, -1, "missing/encoder.pt");
    row("missing tensor", "en", [](NemoCheckpoint& checkpoint) {
        checkpoint.weights.erase(layerName(1, "self_attn.linear_q.weight"));
    });
    row("batch norm without running statistics", "en",
        [](NemoCheckpoint& checkpoint) { checkpoint.config.encoder.convNormType = "batch_norm"; });
    row("biases declared, none stored", "en",
        [](NemoCheckpoint& checkpoint) { checkpoint.config.encoder.useBias = true; });
    row("position biases shared by the layers", "en",
        [](NemoCheckpoint& checkpoint) { checkpoint.config.encoder.untieBiases = false; });
    row("subsampling without its causal padding", "en",
        [](NemoCheckpoint& checkpoint) { checkpoint.config.encoder.causalDownsampling = false; });
}

void EncoderModuleBuilderTest::refusesWhatItCannotBuild() {
    QFETCH(QString, model);
    QFETCH(CheckpointEdit, edit);
    QFETCH(int, rightContext);
    QFETCH(int, prompt);
    QFETCH(QString, file);
    auto checkpoint = fixtureCheckpoint(model.toStdString());
    edit(checkpoint);
    const QTemporaryDir folder;
    QVERIFY_THROWS_EXCEPTION(
        ModelImportError,
        EncoderModuleBuilder::save(checkpoint, {70, rightContext}, ModelPrecision::int8,
                                   prompt < 0 ? std::nullopt : std::optional<std::int64_t>(prompt),
                                   folder.filePath(file).toStdString()));
}

QTEST_GUILESS_MAIN(EncoderModuleBuilderTest)
#include "EncoderModuleBuilderTest.moc"
