#include "speech-engine/import/modules/EncoderModuleBuilder.h"
#include "speech-engine/import/modules/CheckpointTensors.h"
#include "tests/speech-engine/import/NemoFixture.h"
#include "tests/speech-engine/import/Npy.h"
#include "tests/speech-engine/runtime/ProcessorKernels.h"
#include "tests/support/ScopedEnvironment.h"

#include <ATen/Parallel.h>

#include <QTemporaryDir>
#include <QtTest>

#include <cstring>
#include <set>

namespace {

using Context = std::pair<std::int64_t, std::int64_t>;
constexpr std::int64_t koreanPrompt = 14;
constexpr int dModel = 96, layers = 2; // of both fixture models

torch::Tensor readFixture(const std::string& name) {
    const auto npy = Npy::read(nemoFixturePath(name + ".npy"));
    return npy.floats.empty() ? torch::tensor(npy.ints).to(torch::kInt32).view(npy.shape)
                              : torch::tensor(npy.floats).view(npy.shape);
}

std::string layerName(int layer, const std::string& name) {
    return "encoder.layers." + std::to_string(layer) + "." + name;
}

torch::Tensor weight(const NemoCheckpoint& checkpoint, const std::string& name) {
    return CheckpointTensors::get(checkpoint, name);
}
void setWeight(NemoCheckpoint& checkpoint, const std::string& name, const torch::Tensor& value) {
    const auto values = value.contiguous();
    auto storage = std::make_shared<std::vector<std::byte>>(values.numel() * sizeof(float));
    std::memcpy(storage->data(), values.data_ptr(), storage->size());
    checkpoint.weights[name] = {CheckpointTensor::Type::float32, values.sizes().vec(),
                                values.strides().vec(), 0, std::move(storage)};
}

// Empty when `got` is within the fixture's tolerance for float32 implementations of NeMo's maths.
QString disagreement(const torch::Tensor& got, const torch::Tensor& ref) {
    const auto diff = (got.flatten() - ref.flatten()).abs().max().item<double>();
    const auto limit = 1e-4 * std::max(1.0, ref.abs().max().item<double>());
    return diff <= limit ? QString()
                         : QStringLiteral("max |diff| %1 beyond %2").arg(diff).arg(limit);
}

// Empty when `got` is within the int8 bounds of one chunk: cosine and max |diff| relative to
// max |ref|. Records the worst of both in `worst`.
struct Agreement {
    double cosine = 1, relativeDifference = 0;
};
QString int8Disagreement(const torch::Tensor& got, const torch::Tensor& ref, Agreement& worst) {
    constexpr double minimumCosine = 0.9998, maximumDifference = 0.025;
    const auto a = got.flatten().to(torch::kDouble), b = ref.flatten().to(torch::kDouble);
    const auto cosine = (a.dot(b) / (a.norm() * b.norm())).item<double>();
    const auto difference = ((a - b).abs().max() / b.abs().max()).item<double>();
    worst = {std::min(worst.cosine, cosine), std::max(worst.relativeDifference, difference)};
    return cosine >= minimumCosine && difference <= maximumDifference
               ? QString()
               : QStringLiteral("cosine %1, max |diff| %2 of max |ref|")
                     .arg(cosine)
                     .arg(difference);
}

// NeMo's channel cache [1, L, rows, D], each layer's normalised attention input, as the encoder
// keeps it: the rows' projected keys and values side by side.
torch::Tensor projectedCache(const NemoCheckpoint& checkpoint, const torch::Tensor& cache) {
    std::vector<torch::Tensor> perLayer;
    for (int l = 0; l < layers; ++l) {
        std::vector<torch::Tensor> keysValues;
        for (const std::string name : {"self_attn.linear_k", "self_attn.linear_v"}) {
            const auto bias = layerName(l, name + ".bias");
            keysValues.push_back(torch::linear(
                cache[0][l], weight(checkpoint, layerName(l, name + ".weight")),
                checkpoint.weights.contains(bias) ? weight(checkpoint, bias) : torch::Tensor()));
        }
        perLayer.push_back(torch::cat(keysValues, 1));
    }
    return torch::stack(perLayer).unsqueeze(0);
}

using Outputs = std::map<std::string, torch::Tensor>;

// A built encoder stepping on `caches` (channel, time, length), from zeros with length 0.
class Encoder {
public:
    Encoder(const NemoCheckpoint& checkpoint, Context context,
            std::optional<std::int64_t> promptIndex = std::nullopt,
            ModelPrecision precision = ModelPrecision::fp32)
        : m_chunkFrames(8 * (context.second + 1)) {
        const QTemporaryDir folder;
        const auto path = folder.filePath("encoder.pt").toStdString();
        EncoderModuleBuilder::save(checkpoint, context, precision, promptIndex, path);
        m_module = torch::jit::load(path);
    }
    // The fixture's model, with the Korean prompt where it has prompts.
    Encoder(const std::string& model, Context context,
            ModelPrecision precision = ModelPrecision::fp32)
        : Encoder(NemoFixture::checkpoint(model), context,
                  model == "multi" ? std::optional(koreanPrompt) : std::nullopt, precision) {}

    // Every operator the saved module calls, by qualified name.
    std::set<std::string> operators() const {
        std::set<std::string> names;
        for (const auto& method : m_module.get_methods())
            for (const auto* node : method.graph()->nodes())
                names.insert(node->kind().toQualString());
        return names;
    }

    // Chunk k's window of a whole-signal mel [1, F, frames]: the 9 frames before the chunk
    // (zeros before the signal) and its new frames.
    torch::Tensor window(const torch::Tensor& mel, std::int64_t k) const {
        return torch::constant_pad_nd(mel, {9, 0}).narrow(2, m_chunkFrames * k, 9 + m_chunkFrames);
    }
    // One step from the current caches, which it leaves as they are.
    Outputs run(const torch::Tensor& mel, std::int32_t length) const {
        Outputs out;
        for (const auto& entry : m_module
                                     .forward({mel, torch::full({1}, length, torch::kInt32),
                                               caches[0], caches[1], caches[2]})
                                     .toGenericDict())
            out[entry.key().toStringRef()] = entry.value().toTensor();
        return out;
    }
    Outputs step(const torch::Tensor& mel) {
        auto out = run(mel, std::int32_t(mel.size(2)));
        caches = {out["cache_channel_out"], out["cache_time_out"], out["cache_len_out"]};
        return out;
    }

    std::vector<torch::Tensor> caches{torch::zeros({1, layers, 70, 2 * dModel}),
                                      torch::zeros({1, layers, dModel, 8}),
                                      torch::zeros({1}, torch::kInt32)};

private:
    std::int64_t m_chunkFrames;
    mutable torch::jit::Module m_module;
};

// √D scaling against an output layer scaled down by √D.
void scaledInput(NemoCheckpoint& checkpoint, bool twin) {
    if (!twin)
        return;
    checkpoint.config.encoder.xscaling = true;
    for (const std::string name : {"encoder.pre_encode.out.weight", "encoder.pre_encode.out.bias"})
        setWeight(checkpoint, name, weight(checkpoint, name) / std::sqrt(float(dModel)));
}

// Key biases shift all scores of a query alike; value biases pass through attention weights
// that sum to one, so the output bias can take them back; a bias common to all channels
// vanishes in the layer norm after the depthwise convolution. All other biases are zero.
void biases(NemoCheckpoint& checkpoint, bool twin) {
    if (!twin)
        return;
    checkpoint.config.encoder.useBias = true;
    for (int l = 0; l < layers; ++l) {
        for (const std::string name :
             {"feed_forward1.linear1", "feed_forward1.linear2", "feed_forward2.linear1",
              "feed_forward2.linear2", "self_attn.linear_q", "conv.pointwise_conv1",
              "conv.pointwise_conv2"})
            setWeight(checkpoint, layerName(l, name + ".bias"),
                      torch::zeros(weight(checkpoint, layerName(l, name + ".weight")).size(0)));
        const auto valueBias = torch::rand({dModel}) * 2 - 1;
        const auto out = weight(checkpoint, layerName(l, "self_attn.linear_out.weight"));
        setWeight(checkpoint, layerName(l, "self_attn.linear_k.bias"), torch::rand({dModel}));
        setWeight(checkpoint, layerName(l, "self_attn.linear_v.bias"), valueBias);
        setWeight(checkpoint, layerName(l, "self_attn.linear_out.bias"), -out.matmul(valueBias));
        setWeight(checkpoint, layerName(l, "conv.depthwise_conv.bias"),
                  torch::full({dModel}, 0.3f));
    }
}

// Running statistics against the same affine map folded into the norm's weight and bias.
void batchNorm(NemoCheckpoint& checkpoint, bool twin) {
    constexpr float eps = 1e-5f;
    checkpoint.config.encoder.convNormType = "batch_norm";
    for (int l = 0; l < layers; ++l) {
        torch::manual_seed(l); // the same statistics for both of the pair
        auto mean = torch::rand({dModel}) - 0.5f, var = torch::rand({dModel}) * 2 + 0.05f;
        if (twin) {
            const auto scale =
                weight(checkpoint, layerName(l, "conv.batch_norm.weight")) / torch::sqrt(var + eps);
            const auto bias = weight(checkpoint, layerName(l, "conv.batch_norm.bias"));
            setWeight(checkpoint, layerName(l, "conv.batch_norm.weight"), scale);
            setWeight(checkpoint, layerName(l, "conv.batch_norm.bias"), bias - mean * scale);
            mean = torch::zeros({dModel});
            var = torch::full({dModel}, 1 - eps);
        }
        setWeight(checkpoint, layerName(l, "conv.batch_norm.running_mean"), mean);
        setWeight(checkpoint, layerName(l, "conv.batch_norm.running_var"), var);
    }
}

// As trained weights have them: a few channels of every norm before a linear layer with gains
// tens of times the others', compensated by nothing.
void outlierChannels(NemoCheckpoint& checkpoint) {
    for (int l = 0; l < layers; ++l)
        for (const std::string norm :
             {"norm_feed_forward1", "norm_self_att", "norm_conv", "norm_feed_forward2"}) {
            const auto name = layerName(l, norm + ".weight");
            auto gain = weight(checkpoint, name);
            for (const int channel : {3, 41, 77})
                gain[channel] *= 30;
            setWeight(checkpoint, name, gain);
        }
}

// Every int8 kernel this processor runs, by the name that forces it on the int8 operator.
QStringList kernelNames() {
    QStringList names;
    for (const auto kernel : kernelsOfThisProcessor())
        names << QString::fromLatin1(Int8Linear::nameOf(kernel));
    return names;
}

std::unique_ptr<ScopedEnvironment> forcedKernel(const QString& kernel) {
    auto environment = std::make_unique<ScopedEnvironment>();
    if (!kernel.isEmpty())
        environment->set("RELAYO_INT8_KERNEL", kernel.toUtf8());
    return environment;
}

} // namespace

using TwinEdit = void (*)(NemoCheckpoint&, bool);
Q_DECLARE_METATYPE(TwinEdit)

class EncoderModuleBuilderTest : public QObject {
    Q_OBJECT

private slots:
    // As the engine runs models: a second thread only spins on a shared machine.
    void initTestCase() { at::set_num_threads(1); }

    void streamMatchesNemo_data() {
        QTest::addColumn<QString>("stream");
        QTest::addColumn<ModelPrecision>("precision");
        QTest::addColumn<QString>("kernel");
        for (const auto* stream : {"en/stream_560ms", "en/stream_160ms", "multi/stream_560ms",
                                   "multi/stream_160ms", "en/stream_560ms_long"}) {
            QTest::addRow("%s fp32", stream)
                << QString(stream) << ModelPrecision::fp32 << QString();
            for (const auto& kernel : kernelNames())
                QTest::addRow("%s int8 %s", stream, qPrintable(kernel))
                    << QString(stream) << ModelPrecision::int8 << kernel;
        }
    }

    // NeMo's stream chunk by chunk: each chunk's output (after the Korean prompt's projection),
    // cache length and caches, from NeMo's caches; the long stream, which fills and rolls the
    // attention cache, runs on its own caches to NeMo's last ones. float32 is held to the
    // fixtures' float32 tolerance everywhere, int8 to its bounds on every chunk's output on every
    // kernel this processor runs.
    void streamMatchesNemo() {
        QFETCH(QString, stream);
        QFETCH(ModelPrecision, precision);
        QFETCH(QString, kernel);
        const auto environment = forcedKernel(kernel);
        const auto folder = stream.toStdString();
        const auto model = folder.substr(0, folder.find('/'));
        const bool chained = stream.endsWith("long");
        const bool int8 = precision == ModelPrecision::int8;
        Encoder encoder(model, {70, stream.contains("160ms") ? 1 : 6}, precision);
        const auto checkpoint = NemoFixture::checkpoint(model);
        const auto mel = readFixture(chained ? folder + "/mel" : model + "/mel");
        const auto encoded =
            readFixture(folder + (model == "multi" ? "/encoded_prompted" : "/encoded"));
        const auto cacheLen = readFixture(folder + "/cache_len").flatten();
        auto channel = readFixture(folder + (chained ? "/cache_channel_final" : "/cache_channel"));
        auto time = readFixture(folder + (chained ? "/cache_time_final" : "/cache_time"));
        if (chained) {
            channel = channel.unsqueeze(0).expand({encoded.size(0) + 1, -1, -1, -1, -1});
            time = time.unsqueeze(0).expand({encoded.size(0) + 1, -1, -1, -1, -1});
        }
        Agreement worst;
        for (std::int64_t k = 0; k < encoded.size(0); ++k) {
            if (!chained)
                encoder.caches = {projectedCache(checkpoint, channel[k]), time[k],
                                  cacheLen[k].reshape({1})};
            auto out = encoder.step(encoder.window(mel, k));
            if (int8) {
                QCOMPARE(int8Disagreement(out["encoded"], encoded[k], worst), QString());
                continue;
            }
            QCOMPARE(disagreement(out["encoded"], encoded[k]), QString());
            QCOMPARE(out["cache_len_out"].item<std::int32_t>(),
                     cacheLen[k + 1].item<std::int32_t>());
            if (chained && k + 1 < encoded.size(0))
                continue;
            QCOMPARE(
                disagreement(out["cache_channel_out"], projectedCache(checkpoint, channel[k + 1])),
                QString());
            QCOMPARE(disagreement(out["cache_time_out"], time[k + 1]), QString());
        }
        if (int8)
            qInfo("worst chunk: cosine %.6f, max |diff| %.4f of max |ref|", worst.cosine,
                  worst.relativeDifference);
    }

    void int8KeepsToFloatWithOutlierChannels_data() {
        QTest::addColumn<QString>("model");
        QTest::addColumn<int>("rightContext");
        QTest::addColumn<QString>("kernel");
        for (const auto& kernel : kernelNames()) {
            QTest::addRow("en 560 ms %s", qPrintable(kernel)) << "en" << 6 << kernel;
            QTest::addRow("en 160 ms %s", qPrintable(kernel)) << "en" << 1 << kernel;
            QTest::addRow("ko-KR 560 ms %s", qPrintable(kernel)) << "multi" << 6 << kernel;
        }
    }

    // The int8 bounds, against float32 of the same weights, each on its own caches.
    void int8KeepsToFloatWithOutlierChannels() {
        QFETCH(QString, model);
        QFETCH(int, rightContext);
        QFETCH(QString, kernel);
        const auto environment = forcedKernel(kernel);
        auto checkpoint = NemoFixture::checkpoint(model.toStdString());
        outlierChannels(checkpoint);
        const auto prompt = model == "multi" ? std::optional(koreanPrompt) : std::nullopt;
        Encoder fp32(checkpoint, {70, rightContext}, prompt);
        Encoder int8(checkpoint, {70, rightContext}, prompt, ModelPrecision::int8);
        const auto mel = readFixture(model.toStdString() + "/mel");
        Agreement worst;
        QString failure;
        for (std::int64_t k = 0; (k + 1) * 8 * (rightContext + 1) <= mel.size(2); ++k) {
            const auto window = fp32.window(mel, k);
            const auto chunk =
                int8Disagreement(int8.step(window)["encoded"], fp32.step(window)["encoded"], worst);
            if (failure.isEmpty() && !chunk.isEmpty())
                failure = QStringLiteral("chunk %1: %2").arg(k).arg(chunk);
        }
        qInfo("worst chunk: cosine %.6f, max |diff| %.4f of max |ref|", worst.cosine,
              worst.relativeDifference);
        QCOMPARE(failure, QString());
    }

    // int8 runs the int8 operator and no float linear layer where fp32 runs only float ones.
    void int8EncoderCallsTheInt8Operator() {
        const auto int8 = Encoder("en", {70, 6}, ModelPrecision::int8).operators();
        const auto fp32 = Encoder("en", {70, 6}).operators();
        QVERIFY(int8.contains("relayo::linear_int8"));
        QVERIFY(!fp32.contains("relayo::linear_int8"));
        QVERIFY(fp32.contains("aten::linear"));
    }

    void shortChunkSeesOnlyItsFrames_data() {
        QTest::addColumn<int>("rightContext");
        QTest::addColumn<int>("newFrames");
        QTest::addColumn<int>("validOutputs");
        QTest::newRow("560 ms, 30 new frames") << 6 << 30 << 4;
    }

    // A last chunk given as the window's valid length gives the output frames of that chunk cut
    // to its length: no frames past the end leak in. The cache length still grows by the whole
    // window, as in NeMo.
    void shortChunkSeesOnlyItsFrames() {
        QFETCH(int, rightContext);
        QFETCH(int, newFrames);
        QFETCH(int, validOutputs);
        Encoder encoder("en", {70, rightContext});
        const auto mel = readFixture("en/mel");
        encoder.step(encoder.window(mel, 0));
        encoder.step(encoder.window(mel, 1));
        const std::int32_t length = 9 + newFrames;
        const auto cut =
            torch::constant_pad_nd(mel, {9, 0}).narrow(2, 16 * (rightContext + 1), length);
        auto alone = encoder.run(cut, length);
        auto whole = encoder.run(encoder.window(mel, 2), length);
        QCOMPARE(alone["encoded"].size(2), validOutputs);
        QCOMPARE(disagreement(whole["encoded"].narrow(2, 0, validOutputs), alone["encoded"]),
                 QString());
        QCOMPARE(whole["cache_len_out"].item<std::int32_t>(), 3 * (rightContext + 1));
    }

    void otherSettingsKeepTheMaths_data() {
        QTest::addColumn<TwinEdit>("edit");
        QTest::newRow("input scaling") << &scaledInput;
        QTest::newRow("biases") << &biases;
        QTest::newRow("batch norm") << &batchNorm;
    }

    // Settings the fixtures do not use, against maths they do: both checkpoints of a pair must
    // give the same outputs over three chunks, each on the caches of the one before.
    void otherSettingsKeepTheMaths() {
        QFETCH(TwinEdit, edit);
        const auto mel = readFixture("en/mel");
        std::vector<torch::Tensor> outputs[2];
        torch::manual_seed(1);
        for (const bool twin : {false, true}) {
            auto checkpoint = NemoFixture::checkpoint("en");
            edit(checkpoint, twin);
            Encoder encoder(checkpoint, {70, 6});
            for (std::int64_t k = 0; k < 3; ++k)
                outputs[twin].push_back(encoder.step(encoder.window(mel, k))["encoded"]);
        }
        QCOMPARE(disagreement(torch::cat(outputs[1], 2), torch::cat(outputs[0], 2)), QString());
    }
};

QTEST_GUILESS_MAIN(EncoderModuleBuilderTest)
#include "EncoderModuleBuilderTest.moc"
