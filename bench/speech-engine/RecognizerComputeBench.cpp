// Real-time factor of the recognizer with random-weight models of the real model's size: a
// 24-layer conformer-style encoder of width 1024 (feed-forward 4096, 8 attention heads over a
// 70-frame cache, depthwise convolution over an 8-frame cache; about 580 M parameters), a
// two-layer LSTM decoder of width 640 and a joint over 1025 outputs, fed 560 ms chunks. Once
// with float weights, once with the encoder's linear layers in int8 as in the real model.
#include "speech-engine/ModelNames.h"
#include "speech-engine/ModelRunner.h"
#include "speech-engine/StreamingNemotronAsrManager.h"
#include "tests/speech-engine/ModelFolder.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <cmath>
#include <cstdio>
#include <random>

namespace {

constexpr int layers = 24;
constexpr int chunkSamples = 56 * 160;
constexpr double chunkSeconds = 0.56;
constexpr int chunks = 12;

const ScriptModel preprocessor{R"(
def forward(self, audio: Tensor, audio_length: Tensor) -> Dict[str, Tensor]:
    spectrum = torch.stft(audio[0], n_fft=512, hop_length=160, win_length=400,
                          window=torch.hann_window(400), return_complex=True)
    power = torch.abs(spectrum) ** 2
    mel = torch.log(torch.matmul(torch.abs(self.filters), power) + 1e-6)
    return {"mel": mel[:, 0:56].unsqueeze(0)}
)",
                               {{"filters", {128, 257}, 0.05}}};

// Each layer: half feed-forward, self-attention over the cached and new frames, convolution
// module with a depthwise convolution over the cached frames, half feed-forward. LINEAR( stands
// for the float or the int8 linear layer.
const std::string encoderSource = R"(
def forward(self, mel: Tensor, mel_length: Tensor, cache_channel: Tensor, cache_time: Tensor,
            cache_len: Tensor) -> Dict[str, Tensor]:
    x = torch.linear(mel[0, :, 9:65].t().reshape(7, 1024), self.subsampling)
    channels: List[Tensor] = []
    times: List[Tensor] = []
    for i in range(24):
        y = torch.silu(LINEAR(torch.layer_norm(x, [1024]), self.ff1_in[i]))
        x = x + 0.5 * LINEAR(y, self.ff1_out[i])
        y = torch.layer_norm(x, [1024])
        context = torch.cat([cache_channel[0, i], y], 0)
        channels.append(context[-70:])
        q = LINEAR(y, self.query[i]).reshape(7, 8, 128).transpose(0, 1)
        kv = LINEAR(context, self.key_value[i])
        k = kv[:, 0:1024].reshape(-1, 8, 128).transpose(0, 1)
        v = kv[:, 1024:2048].reshape(-1, 8, 128).transpose(0, 1)
        weights = torch.softmax(torch.matmul(q, k.transpose(1, 2)) * 0.0884, -1)
        heads = torch.matmul(weights, v).transpose(0, 1).reshape(7, 1024)
        x = x + LINEAR(heads, self.attention_out[i])
        z = torch.glu(LINEAR(torch.layer_norm(x, [1024]), self.pointwise_in[i]), -1)
        sequence = torch.cat([cache_time[0, i], z.t()], 1)
        times.append(sequence[:, -8:])
        z = torch.conv1d(sequence.unsqueeze(0), self.depthwise[i].unsqueeze(1), None, 1, 0, 1, 1024)
        z = torch.silu(torch.layer_norm(z[0].t(), [1024]))
        x = x + LINEAR(z, self.pointwise_out[i])
        y = torch.silu(LINEAR(torch.layer_norm(x, [1024]), self.ff2_in[i]))
        x = x + 0.5 * LINEAR(y, self.ff2_out[i])
        x = torch.layer_norm(x, [1024])
    return {"encoded": x.t().unsqueeze(0),
            "cache_channel_out": torch.stack(channels).unsqueeze(0),
            "cache_time_out": torch.stack(times).unsqueeze(0),
            "cache_len_out": torch.clamp(cache_len + 7, max=70)}
)";

ScriptModel encoder(bool int8) {
    std::string source = encoderSource;
    const std::string linear = int8 ? "ops.quantized.linear_dynamic(" : "torch.linear(";
    for (auto at = source.find("LINEAR("); at != std::string::npos; at = source.find("LINEAR(")) {
        source.replace(at, 7, linear);
    }
    const auto weight = [int8](const char* name, std::int64_t out, std::int64_t in) {
        return RandomParameter{name, {layers, out, in}, 1.0 / std::sqrt(double(in)), int8};
    };
    return {source,
            {{"subsampling", {1024, 1024}, 0.03},
             weight("ff1_in", 4096, 1024),
             weight("ff1_out", 1024, 4096),
             weight("query", 1024, 1024),
             weight("key_value", 2048, 1024),
             weight("attention_out", 1024, 1024),
             weight("pointwise_in", 2048, 1024),
             {"depthwise", {layers, 1024, 9}, 0.3},
             weight("pointwise_out", 1024, 1024),
             weight("ff2_in", 4096, 1024),
             weight("ff2_out", 1024, 4096)}};
}

const ScriptModel decoder{R"(
def forward(self, token: Tensor, token_length: Tensor, h_in: Tensor, c_in: Tensor) -> Dict[str, Tensor]:
    embedded = self.embedding[token.reshape(-1).long()].unsqueeze(0)
    out, h, c = torch.lstm(embedded, [h_in, c_in],
                           [self.input0, self.hidden0, self.input_bias0, self.hidden_bias0,
                            self.input1, self.hidden1, self.input_bias1, self.hidden_bias1],
                           True, 2, 0.0, False, False, False)
    return {"decoder_out": out.reshape(1, 640, 1), "h_out": h, "c_out": c}
)",
                          {{"embedding", {1025, 640}, 0.1},
                           {"input0", {2560, 640}, 0.04},
                           {"hidden0", {2560, 640}, 0.04},
                           {"input_bias0", {2560}, 0.01},
                           {"hidden_bias0", {2560}, 0.01},
                           {"input1", {2560, 640}, 0.04},
                           {"hidden1", {2560, 640}, 0.04},
                           {"input_bias1", {2560}, 0.01},
                           {"hidden_bias1", {2560}, 0.01}}};

// The blank always wins, so each frame costs one decoder and joint call: the floor of decoding.
// Speech adds one more call per emitted token (a few per chunk).
const ScriptModel joint{R"(
def forward(self, encoder: Tensor, decoder: Tensor) -> Dict[str, Tensor]:
    hidden = torch.relu(torch.linear(encoder.reshape(1, 1024), self.encoder_projection) +
                        torch.linear(decoder.reshape(1, 640), self.decoder_projection))
    logits = torch.linear(hidden, self.output)
    logits[0, 1024] += 1000.0
    return {"logits": logits}
)",
                        {{"encoder_projection", {640, 1024}, 0.03},
                         {"decoder_projection", {640, 640}, 0.04},
                         {"output", {1025, 640}, 0.04}}};

QStringList vocabulary() {
    QStringList tokens;
    for (int id = 0; id < 1024; ++id) {
        tokens << QStringLiteral("▁w%1").arg(id);
    }
    return tokens;
}

PcmBuffer noiseChunk(std::mt19937& random) {
    PcmBuffer chunk(PcmFormat{16000, 1, SampleType::float32, false}, chunkSamples);
    std::normal_distribution<float> noise(0.0f, 0.1f);
    for (auto& sample : chunk.samples<float>(0)) {
        sample = noise(random);
    }
    return chunk;
}

// The encoder alone on a chunk's worth of inputs, to tell its share.
double encoderSeconds(const QDir& folder) {
    using Type = MultiArrayDataType;
    const auto encoder = ModelRunner::load(
        folder.filePath(ModelNames::NemotronStreaming::encoderPath).toStdString(), {});
    const ModelFeatures input{
        {"mel", MultiArray::createZeroed({1, 128, 65}, Type::float32)},
        {"mel_length", MultiArray::createZeroed({1}, Type::int32)},
        {"cache_channel", MultiArray::createZeroed({1, 24, 70, 1024}, Type::float32)},
        {"cache_time", MultiArray::createZeroed({1, 24, 1024, 8}, Type::float32)},
        {"cache_len", MultiArray::createZeroed({1}, Type::int32)}};
    encoder->predict(input);
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < chunks; ++i) {
        encoder->predict(input);
    }
    return timer.nsecsElapsed() / 1e9 / chunks;
}

struct Figures {
    double perChunk;
    double encoderOnly;
    std::size_t tokens;
};

Figures measure(bool int8) {
    QTemporaryDir folder;
    writeModelFolder(folder.path(), {preprocessor, encoder(int8), decoder, joint},
                     {{"chunk_ms", 560}, {"chunk_mel_frames", 56}, {"total_mel_frames", 65}},
                     vocabulary());
    StreamingNemotronAsrManager manager({}, NemotronChunkSize::ms560);
    QCoro::waitFor(manager.loadModelsFrom(folder.path()));
    std::mt19937 random(1);
    for (int warmUp = 0; warmUp < 2; ++warmUp) {
        QCoro::waitFor(manager.process(noiseChunk(random)));
    }
    std::vector<PcmBuffer> audio;
    for (int i = 0; i < chunks; ++i) {
        audio.push_back(noiseChunk(random));
    }
    QElapsedTimer timer;
    timer.start();
    for (const auto& chunk : audio) {
        QCoro::waitFor(manager.process(chunk));
    }
    const double perChunk = timer.nsecsElapsed() / 1e9 / chunks;
    const auto tokens = QCoro::waitFor(manager.snapshot()).accumulatedTokenIds.size();
    return {perChunk, encoderSeconds(QDir(folder.path())), tokens};
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    for (const bool int8 : {true, false}) {
        const auto figures = measure(int8);
        std::printf("%s encoder weights: %.1f ms per 560 ms chunk, real-time factor %.2f "
                    "(target < 0.5)\n",
                    int8 ? "int8" : "fp32", figures.perChunk * 1e3,
                    figures.perChunk / chunkSeconds);
        std::printf("  encoder alone %.1f ms (%.0f%% of the chunk); %zu tokens in %d chunks\n",
                    figures.encoderOnly * 1e3, 100 * figures.encoderOnly / figures.perChunk,
                    figures.tokens, chunks + 2);
    }
    return 0;
}
