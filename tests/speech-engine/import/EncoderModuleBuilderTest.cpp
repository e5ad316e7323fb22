#include "speech-engine/import/EncoderModuleBuilder.h"
#include "speech-engine/import/NemoCheckpointReader.h"
#include "speech-engine/ModelRunner.h"
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
constexpr int dModel = 96; // of both fixture models, which have two layers

NemoCheckpoint fixtureCheckpoint(const std::string& model) {
    const QTemporaryDir scratch;
    return NemoCheckpointReader::read(nemoFixturePath("small-" + model + ".nemo"),
                                      scratch.path().toStdString());
}

Context contextOf(const QString& stream) {
    return {70, stream == "stream_560ms" ? 6 : 1};
}

// Entry k of a fixture array whose first axis counts steps.
MultiArray entry(const Npy& source, std::int64_t k) {
    std::vector<std::int64_t> shape(source.shape.begin() + 1, source.shape.end());
    const bool floats = !source.floats.empty();
    auto array =
        MultiArray::createZeroed(shape.empty() ? std::vector<std::int64_t>{1} : shape,
                                 floats ? MultiArrayDataType::float32 : MultiArrayDataType::int32);
    const auto offset = k * array.count();
    std::memcpy(array.rawData(),
                floats ? static_cast<const void*>(source.floats.data() + offset)
                       : static_cast<const void*>(source.ints.data() + offset),
                array.count() * 4);
    return array;
}

// Frames [first, first + count) of a mel [1, F, frames], zeros before frame 0.
MultiArray melFrames(const float* mel, std::int64_t features, std::int64_t frames,
                     std::int64_t first, std::int64_t count) {
    auto window = MultiArray::createZeroed({1, features, count}, MultiArrayDataType::float32);
    for (std::int64_t f = 0; f < features; ++f)
        for (std::int64_t t = std::max<std::int64_t>(0, -first); t < count; ++t)
            window.at<float>({0, f, t}) = mel[f * frames + first + t];
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

ModelFeatures stepInputs(MultiArray mel, MultiArray channel, MultiArray time, MultiArray cacheLen) {
    auto length = MultiArray::createZeroed({1}, MultiArrayDataType::int32);
    length.at<std::int32_t>({0}) = std::int32_t(mel.shape()[2]);
    return {{"mel", mel},
            {"mel_length", length},
            {"cache_channel", channel},
            {"cache_time", time},
            {"cache_len", cacheLen}};
}

Npy readStream(const std::string& folder, const std::string& name) {
    return Npy::read(nemoFixturePath(folder + "/" + name + ".npy"));
}

// The inputs and caches of each step of NeMo's own stream.
struct StoredStream {
    explicit StoredStream(const std::string& folder)
        : folder(folder), mel(read("mel")), channel(read("cache_channel")),
          time(read("cache_time")), cacheLen(read("cache_len")) {}

    Npy read(const std::string& name) const { return readStream(folder, name); }
    ModelFeatures inputs(std::int64_t k) const {
        return stepInputs(entry(mel, k), entry(channel, k), entry(time, k), entry(cacheLen, k));
    }

    std::string folder;
    Npy mel, channel, time, cacheLen;
};

class Encoder {
public:
    Encoder(const NemoCheckpoint& checkpoint, Context context, ModelPrecision precision,
            std::optional<std::int64_t> promptIndex = std::nullopt) {
        const auto path = m_folder.filePath("encoder.pt").toStdString();
        EncoderModuleBuilder::save(checkpoint, context, precision, promptIndex, path);
        m_runner = ModelRunner::load(path, {1});
    }
    // The fixture's model, with the Korean prompt where it has prompts.
    Encoder(const std::string& model, Context context, ModelPrecision precision)
        : Encoder(fixtureCheckpoint(model), context, precision,
                  model == "multi" ? std::optional(koreanPrompt) : std::nullopt) {}

    ModelFeatures step(const ModelFeatures& inputs) const { return m_runner->predict(inputs); }

private:
    QTemporaryDir m_folder;
    std::unique_ptr<ModelRunner> m_runner;
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
    void everyChunkMatchesNemo_data();
    void everyChunkMatchesNemo();
    void longStreamRunsOnItsOwnCaches_data();
    void longStreamRunsOnItsOwnCaches();
    void shortChunkSeesOnlyItsFrames_data();
    void shortChunkSeesOnlyItsFrames();
    void otherSettingsKeepTheMaths_data();
    void otherSettingsKeepTheMaths();
    void refusesWhatItCannotBuild_data();
    void refusesWhatItCannotBuild();
};

void EncoderModuleBuilderTest::everyChunkMatchesNemo_data() {
    QTest::addColumn<QString>("model");
    QTest::addColumn<QString>("stream");
    QTest::addColumn<ModelPrecision>("precision");
    for (const auto* model : {"en", "multi"})
        for (const auto* stream : {"stream_560ms", "stream_160ms"})
            for (const auto precision : {ModelPrecision::fp32, ModelPrecision::int8})
                QTest::addRow("%s %s %s", model, stream,
                              precision == ModelPrecision::fp32 ? "fp32" : "int8")
                    << QString(model) << QString(stream) << precision;
}

// Each chunk from NeMo's own inputs and caches gives NeMo's output and caches (for the
// multilingual model, the output after the Korean prompt's projection).
void EncoderModuleBuilderTest::everyChunkMatchesNemo() {
    QFETCH(QString, model);
    QFETCH(QString, stream);
    QFETCH(ModelPrecision, precision);
    const Encoder encoder(model.toStdString(), contextOf(stream), precision);
    const StoredStream stored(model.toStdString() + "/" + stream.toStdString());
    const auto encoded = stored.read(model == "multi" ? "encoded_prompted" : "encoded");
    const bool fp32 = precision == ModelPrecision::fp32;
    Worst worst;
    for (std::int64_t k = 0; k < stored.mel.shape[0]; ++k) {
        const auto out = encoder.step(stored.inputs(k));
        const auto output = agreement(out.at("encoded"), entry(encoded, k).data<float>());
        worst.add(output);
        QVERIFY2(fp32 ? output.float32() : output.int8(), output.text().constData());
        QCOMPARE(out.at("cache_len_out").at<std::int32_t>({0}), stored.cacheLen.ints[k + 1]);
        if (!fp32)
            continue;
        QVERIFY(agreement(out.at("cache_channel_out"), entry(stored.channel, k + 1).data<float>())
                    .float32());
        QVERIFY(
            agreement(out.at("cache_time_out"), entry(stored.time, k + 1).data<float>()).float32());
    }
}

void EncoderModuleBuilderTest::longStreamRunsOnItsOwnCaches_data() {
    QTest::addColumn<ModelPrecision>("precision");
    QTest::newRow("fp32") << ModelPrecision::fp32;
    QTest::newRow("int8") << ModelPrecision::int8;
}

// Twelve chunks chained through the module's own caches until the attention cache is full and
// rolls; chunk k's window is the 9 mel frames before it (zeros first) and its 56 new frames.
void EncoderModuleBuilderTest::longStreamRunsOnItsOwnCaches() {
    QFETCH(ModelPrecision, precision);
    const Encoder encoder("en", {70, 6}, precision);
    const auto read = [](const std::string& name) {
        return readStream("en/stream_560ms_long", name);
    };
    const auto all = read("mel");
    const auto encoded = read("encoded");
    const auto cacheLen = read("cache_len");
    auto channel = MultiArray::createZeroed({1, 2, 70, dModel}, MultiArrayDataType::float32);
    auto time = MultiArray::createZeroed({1, 2, dModel, 8}, MultiArrayDataType::float32);
    auto length = MultiArray::createZeroed({1}, MultiArrayDataType::int32);
    const bool fp32 = precision == ModelPrecision::fp32;
    Worst worst;
    for (std::int64_t k = 0; k < encoded.shape[0]; ++k) {
        const auto mel = melFrames(all.floats.data(), all.shape[1], all.shape[2], 56 * k - 9, 65);
        const auto out = encoder.step(stepInputs(mel, channel, time, length));
        const auto output = agreement(out.at("encoded"), entry(encoded, k).data<float>());
        worst.add(output);
        QVERIFY2(fp32 ? output.float32() : output.int8(), output.text().constData());
        channel = out.at("cache_channel_out");
        time = out.at("cache_time_out");
        length = out.at("cache_len_out");
        QCOMPARE(length.at<std::int32_t>({0}), cacheLen.ints[k + 1]);
    }
    if (fp32) {
        QVERIFY(agreement(channel, read("cache_channel_final").floats.data()).float32());
        QVERIFY(agreement(time, read("cache_time_final").floats.data()).float32());
    }
}

void EncoderModuleBuilderTest::shortChunkSeesOnlyItsFrames_data() {
    QTest::addColumn<QString>("stream");
    QTest::addColumn<int>("newFrames");
    QTest::addColumn<int>("validOutputs");
    QTest::newRow("560 ms, 8 new frames") << "stream_560ms" << 8 << 1;
    QTest::newRow("560 ms, 30 new frames") << "stream_560ms" << 30 << 4;
    QTest::newRow("160 ms, 8 new frames") << "stream_160ms" << 8 << 1;
}

// A last chunk shorter than the window, given as the window's valid length, gives the same
// output frames as that chunk cut to its length: neither the subsampling, the attention nor
// the convolution lets the frames past the end in. The cache length still grows by the whole
// window's frames, as in NeMo.
void EncoderModuleBuilderTest::shortChunkSeesOnlyItsFrames() {
    QFETCH(QString, stream);
    QFETCH(int, newFrames);
    QFETCH(int, validOutputs);
    const auto context = contextOf(stream);
    const Encoder encoder("en", context, ModelPrecision::fp32);
    const StoredStream stored("en/" + stream.toStdString());
    const std::int64_t k = 2, length = 9 + newFrames;
    auto padded = stored.inputs(k);
    padded.at("mel_length").at<std::int32_t>({0}) = std::int32_t(length);
    const auto& window = padded.at("mel");
    const auto alone = encoder.step(
        stepInputs(melFrames(window.data<float>(), window.shape()[1], window.shape()[2], 0, length),
                   padded.at("cache_channel"), padded.at("cache_time"), padded.at("cache_len")));
    const auto whole = encoder.step(padded);
    QCOMPARE(alone.at("encoded").shape()[2], validOutputs);
    const auto& wholeEncoded = whole.at("encoded");
    const auto validFrames =
        MultiArray::view(wholeEncoded.rawData(), {1, dModel, validOutputs}, wholeEncoded.strides(),
                         MultiArrayDataType::float32, wholeEncoded.owner());
    QVERIFY(agreement(validFrames, floatsOf(alone.at("encoded")).data()).float32());
    QCOMPARE(whole.at("cache_len_out").at<std::int32_t>({0}),
             std::min<std::int32_t>(stored.cacheLen.ints[k] + context.second + 1, context.first));
}

void EncoderModuleBuilderTest::otherSettingsKeepTheMaths_data() {
    QTest::addColumn<TwinEdit>("edit");
    QTest::newRow("input scaling") << &scaledInput;
    QTest::newRow("biases") << &biases;
    QTest::newRow("batch norm") << &batchNorm;
}

// Settings the fixtures do not use, against maths they do: both checkpoints of a pair must
// give the same step, output and caches.
void EncoderModuleBuilderTest::otherSettingsKeepTheMaths() {
    QFETCH(TwinEdit, edit);
    const StoredStream stored("en/stream_560ms");
    const auto step = [&](bool twin) {
        auto checkpoint = fixtureCheckpoint("en");
        edit(checkpoint, twin);
        return Encoder(checkpoint, {70, 6}, ModelPrecision::fp32).step(stored.inputs(2));
    };
    const auto expected = step(false);
    const auto got = step(true);
    for (const auto* name : {"encoded", "cache_channel_out", "cache_time_out"}) {
        const auto result = agreement(got.at(name), floatsOf(expected.at(name)).data());
        QVERIFY2(result.float32(), (name + (": " + result.text())).constData());
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
