// Time per 560 ms chunk that the recognizer spends outside its models: trivial models of the
// real feature shapes, fed as captions feed it, in 20 ms blocks of one call each, counting the
// calls that hop onto the recognizer's executor. What remains is copying, the hops, decoding and
// the calls into the runner. The same predictions are then timed straight through the runner
// and subtracted.
#include "speech-engine/core/ModelNames.h"
#include "speech-engine/model-files/NemotronStreamingConfig.h"
#include "speech-engine/runtime/ModelRunner.h"
#include "speech-engine/streaming/StreamingNemotronAsrManager.h"
#include "tests/speech-engine/models/ModelFolder.h"
#include "tests/support/RunToCompletion.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QTemporaryDir>
#include <cstdio>

namespace {

constexpr int chunkSamples = 56 * 160;
constexpr int blockSamples = 320; // 20 ms
constexpr int blocksPerChunk = chunkSamples / blockSamples;
constexpr int encoderFrames = 7;
constexpr int chunks = 200;

const ModelSources trivialModels{{R"(
def forward(self, audio: Tensor, audio_length: Tensor) -> Dict[str, Tensor]:
    return {"mel": audio[:, 0:8960:160].unsqueeze(1).expand(1, 128, 56)}
)"},
                                 {R"(
def forward(self, mel: Tensor, mel_length: Tensor, cache_channel: Tensor, cache_time: Tensor,
            cache_len: Tensor) -> Dict[str, Tensor]:
    return {"encoded": mel[:, :, 0:7].repeat(1, 8, 1), "cache_channel_out": cache_channel,
            "cache_time_out": cache_time, "cache_len_out": cache_len}
)"},
                                 {R"(
def forward(self, token: Tensor, token_length: Tensor, h_in: Tensor, c_in: Tensor) -> Dict[str, Tensor]:
    return {"decoder_out": h_in[1:2].reshape(1, 640, 1), "h_out": h_in, "c_out": c_in}
)"},
                                 {R"(
def project_encoder(self, encoder: Tensor) -> Dict[str, Tensor]:
    return {"projected": encoder[:, 0:640, :].transpose(1, 2)}

def project_decoder(self, decoder: Tensor) -> Dict[str, Tensor]:
    return {"projected": decoder.transpose(1, 2)}

def joint_projected(self, encoder: Tensor, decoder: Tensor) -> Dict[str, Tensor]:
    logits = torch.zeros(1, 1, 1, 1025)
    logits[0, 0, 0, 1024] = 1.0
    return {"logits": logits}
)"}};

QJsonObject realShapeMetadata() {
    return {{"chunk_ms", 560}, {"chunk_mel_frames", 56}, {"total_mel_frames", 121}};
}

QStringList vocabulary() {
    QStringList tokens;
    for (int id = 0; id < 1024; ++id) {
        tokens << QStringLiteral("▁w%1").arg(id);
    }
    return tokens;
}

MultiArray zeros(std::vector<std::int64_t> shape, MultiArrayDataType type) {
    return MultiArray::createZeroed(std::move(shape), type);
}

// One chunk's predictions with ready-made inputs: preprocessor, encoder, the frames' projection
// and a joint call for each encoder frame (each ends in a blank, so the prediction network's
// output from before the chunk still holds).
double directPredictionsMilliseconds(const QDir& folder) {
    using namespace ModelNames::NemotronStreaming;
    using Type = MultiArrayDataType;
    const auto load = [&](const QString& file) {
        return ModelRunner::load(folder.filePath(file).toStdString(), {});
    };
    const auto preprocessor = load(preprocessorFile);
    const auto encoder = load(encoderPath);
    const auto config = NemotronStreamingConfig::fromFile(folder.filePath(metadata));
    const auto joint = load(jointFile);
    const ModelFeatures preprocessorInput{{"audio", zeros({1, chunkSamples}, Type::float32)},
                                          {"audio_length", zeros({1}, Type::int32)}};
    const ModelFeatures encoderInput{
        {"mel", zeros({1, 128, 121}, Type::float32)},
        {"mel_length", zeros({1}, Type::int32)},
        {"cache_channel", zeros(config.cacheChannelShape, Type::float32)},
        {"cache_time", zeros(config.cacheTimeShape, Type::float32)},
        {"cache_len", zeros({1}, Type::int32)}};
    const ModelFeatures projectionInput{
        {"encoder", zeros({1, 1024, encoderFrames}, Type::float32)}};
    const ModelFeatures jointInput{{"encoder", zeros({1, 1, 640}, Type::float32)},
                                   {"decoder", zeros({1, 1, 640}, Type::float32)}};
    const auto predictOneChunk = [&] {
        preprocessor->predict(preprocessorInput);
        encoder->predict(encoderInput);
        joint->predict(projectionInput, "project_encoder");
        for (int frame = 0; frame < encoderFrames; ++frame) {
            joint->predict(jointInput, "joint_projected");
        }
    };
    for (int warmUp = 0; warmUp < 5; ++warmUp) {
        predictOneChunk();
    }
    QElapsedTimer timer;
    timer.start();
    for (int chunk = 0; chunk < chunks; ++chunk) {
        predictOneChunk();
    }
    return timer.nsecsElapsed() / 1e6 / chunks;
}

struct Fed {
    double milliseconds; // per chunk
    double hops;         // per chunk
};

Fed feedRecognizer(const QString& folder) {
    StreamingNemotronAsrManager manager({}, NemotronChunkSize::ms560);
    runToCompletion(manager.loadModelsFrom(folder));
    const PcmBuffer block(PcmFormat{16000, 1, SampleType::float32, false}, blockSamples);
    for (int warmUp = 0; warmUp < 5 * blocksPerChunk; ++warmUp) {
        runToCompletion(manager.process(block));
    }
    const auto hops = manager.executorHops();
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < chunks * blocksPerChunk; ++i) {
        runToCompletion(manager.process(block));
    }
    return {timer.nsecsElapsed() / 1e6 / chunks, double(manager.executorHops() - hops) / chunks};
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    QTemporaryDir folder;
    writeModelFolder(folder.path(), trivialModels, realShapeMetadata(), vocabulary());
    const auto fed = feedRecognizer(folder.path());
    const auto models = directPredictionsMilliseconds(QDir(folder.path()));
    std::printf("recognizer, trivial models, %d blocks of 20 ms per 560 ms chunk: %.3f ms per "
                "chunk, %.2f executor hops per chunk\n",
                blocksPerChunk, fed.milliseconds, fed.hops);
    std::printf("the same %d predictions through the runner alone: %.3f ms\n", 3 + encoderFrames,
                models);
    std::printf("engine overhead outside the models: %.3f ms per chunk (target < 2 ms)\n",
                fed.milliseconds - models);
    return 0;
}
