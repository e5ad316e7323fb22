// The whole recognizer as captions feed it: 20 ms blocks of 16 kHz mono in, partial
// transcripts out, with the real-size encoder built from the random-weight checkpoint (int8 and
// fp32) and a prediction network and joint of the real sizes. The joint's blank bias steers how
// many symbols a chunk emits (0, about 4, about 10); time per chunk is everything the chunk's
// blocks cost the caller. Then the encoder step alone on the same inputs, for its share, and
// the cost per emitted symbol from the difference between emitting and silent runs. Last, ten
// minutes of audio through the int8 560 ms recognizer: p95, processor share and memory.
// Every run feeds the same audio: the int8 encoder is far slower on inputs it has not seen
// before (see bench-encoder-threads), which only the first run and the stream show.
#include "bench/speech-engine/RealSizeModels.h"
#include "speech-engine/ModelNames.h"
#include "speech-engine/ModelRunner.h"
#include "speech-engine/StreamingNemotronAsrManager.h"
#include "tests/speech-engine/ModelFolder.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <thread>

#include <sys/resource.h>

namespace {

constexpr int blockSamples = 320; // 20 ms
constexpr int measuredChunks = 16;
constexpr int calibrationChunks = 6;

struct Variant {
    int chunkMs;
    std::pair<std::int64_t, std::int64_t> attContext;
    int melFrames() const { return chunkMs / 10; }
    int blocksPerChunk() const { return chunkMs / 20; }
};

// Log power of a fixed filter bank over the chunk's frames: the real mel's shape and about its
// cost, which is small beside the encoder's.
const ScriptModel preprocessor{R"(
def forward(self, audio: Tensor, audio_length: Tensor) -> Dict[str, Tensor]:
    spectrum = torch.stft(audio[0], n_fft=512, hop_length=160, win_length=400,
                          window=torch.hann_window(400), return_complex=True)
    mel = torch.log(torch.matmul(torch.abs(self.filters), torch.abs(spectrum) ** 2) + 1e-6)
    return {"mel": mel[:, 0:(audio.size(1) - 513) // 160 + 1].unsqueeze(0)}
)",
                               {{"filters", {128, 257}, 0.05}}};

// Replaced by the real-size encoder once the folder is written.
const ScriptModel placeholderEncoder{R"(
def forward(self, mel: Tensor) -> Dict[str, Tensor]:
    return {"encoded": mel}
)"};

// Two-layer LSTM of width 640 over 1025 embeddings, as NeMo's prediction network.
const ScriptModel decoder{R"(
def forward(self, token: Tensor, token_length: Tensor, h_in: Tensor, c_in: Tensor) -> Dict[str, Tensor]:
    embedded = self.embedding[token.reshape(-1).long()].unsqueeze(0)
    out, h, c = torch.lstm(embedded, [h_in, c_in],
                           [self.input0, self.hidden0, self.input_bias0, self.hidden_bias0,
                            self.input1, self.hidden1, self.input_bias1, self.hidden_bias1],
                           True, 2, 0.0, False, False, False)
    return {"decoder_out": out.reshape(1, 640, 1), "h_out": h, "c_out": c}
)",
                          {{"embedding", {1025, 640}, 0.5},
                           {"input0", {2560, 640}, 0.04},
                           {"hidden0", {2560, 640}, 0.04},
                           {"input_bias0", {2560}, 0.01},
                           {"hidden_bias0", {2560}, 0.01},
                           {"input1", {2560, 640}, 0.04},
                           {"hidden1", {2560, 640}, 0.04},
                           {"input_bias1", {2560}, 0.01},
                           {"hidden_bias1", {2560}, 0.01}}};

// NeMo's joint, W_out·ReLU(W_enc·f + W_pred·g) + b. Random weights give every frame about the
// same logits, so that a plain bias would make every frame emit or none; the blank's bias
// therefore also follows one feature of the frame and one of the prediction, which spreads
// emission over frames and tokens as speech would, at no cost worth counting.
ScriptModel joint(double blankBias) {
    return {R"(
def forward(self, encoder: Tensor, decoder: Tensor) -> Dict[str, Tensor]:
    hidden = torch.relu(torch.linear(encoder.reshape(1, 1024), self.encoder_projection) +
                        torch.linear(decoder.reshape(1, 640), self.decoder_projection))
    logits = torch.linear(hidden, self.output)
    logits[0, 1024] += )" +
                std::to_string(blankBias) +
                R"( + 4.0 * encoder[0, 0, 0] + 40.0 * decoder[0, 0, 0]
    return {"logits": logits.reshape(1, 1, 1, 1025)}
)",
            {{"encoder_projection", {640, 1024}, 0.03},
             {"decoder_projection", {640, 640}, 0.04},
             {"output", {1025, 640}, 0.1}}};
}

QStringList vocabulary() {
    QStringList tokens;
    for (int id = 0; id < 1024; ++id)
        tokens << QStringLiteral("▁w%1").arg(id);
    return tokens;
}

// Speech-like noise, the same for every run.
std::vector<PcmBuffer> blocks(int count) {
    std::mt19937 random(7);
    std::normal_distribution<float> noise(0.0f, 0.1f);
    std::vector<PcmBuffer> result;
    for (int i = 0; i < count; ++i) {
        PcmBuffer block(PcmFormat{16000, 1, SampleType::float32, false}, blockSamples);
        for (auto& sample : block.samples<float>(0))
            sample = noise(random);
        result.push_back(std::move(block));
    }
    return result;
}

class Folder {
public:
    Folder(const Variant& variant, ModelPrecision precision) : m_variant(variant) {
        m_encoder = RealSizeModels::encoder(variant.attContext, precision);
        setBlankBias(0);
    }
    QString path() const { return m_folder.path(); }
    const std::filesystem::path& encoder() const { return m_encoder; }

    void setBlankBias(double bias) {
        const int frames = m_variant.melFrames();
        // Unlinked first: writing the folder would write through the link into the cache.
        const auto link = QDir(m_folder.path())
                              .filePath(ModelNames::NemotronStreaming::encoderPath)
                              .toStdString();
        std::filesystem::remove(link);
        writeModelFolder(m_folder.path(), {preprocessor, placeholderEncoder, decoder, joint(bias)},
                         {{"chunk_ms", m_variant.chunkMs},
                          {"chunk_mel_frames", frames},
                          {"total_mel_frames", frames + 9}},
                         vocabulary());
        std::filesystem::remove(link);
        std::filesystem::create_symlink(m_encoder, link);
    }

private:
    Variant m_variant;
    QTemporaryDir m_folder;
    std::filesystem::path m_encoder;
};

struct Run {
    std::vector<double> chunkMs; // sorted
    double symbolsPerChunk = 0;
    double percentile(double p) const {
        return chunkMs[std::min(chunkMs.size() - 1, std::size_t(p * double(chunkMs.size())))];
    }
};

// Feeds `chunks` chunks (after one to warm up) block by block; a chunk's time is the sum of its
// blocks' calls, the executor hops of the blocks that only buffer included.
Run feed(const Variant& variant, const QString& folder, int chunks) {
    StreamingNemotronAsrManager manager({}, std::nullopt);
    QCoro::waitFor(manager.loadModelsFrom(folder));
    int partials = 0;
    QCoro::waitFor(manager.setPartialCallback([&](const QString&) { ++partials; }));
    const auto audio = blocks((chunks + 1) * variant.blocksPerChunk());
    Run run;
    double chunkTime = 0;
    std::size_t tokensBefore = 0;
    for (std::size_t i = 0; i < audio.size(); ++i) {
        QElapsedTimer timer;
        timer.start();
        QCoro::waitFor(manager.process(audio[i]));
        chunkTime += double(timer.nsecsElapsed()) / 1e6;
        if ((i + 1) % std::size_t(variant.blocksPerChunk()) != 0)
            continue;
        if (i + 1 == std::size_t(variant.blocksPerChunk()))
            tokensBefore = QCoro::waitFor(manager.snapshot()).accumulatedTokenIds.size();
        else
            run.chunkMs.push_back(chunkTime);
        chunkTime = 0;
    }
    const auto tokens = QCoro::waitFor(manager.snapshot()).accumulatedTokenIds.size();
    run.symbolsPerChunk = double(tokens - tokensBefore) / chunks;
    std::sort(run.chunkMs.begin(), run.chunkMs.end());
    return run;
}

// The blank bias at which chunks emit about `symbols` symbols: emission falls as the bias grows.
double calibratedBias(const Variant& variant, Folder& folder, double symbols) {
    double low = -20, high = 20;
    for (int step = 0; step < 6; ++step) {
        const double middle = (low + high) / 2;
        folder.setBlankBias(middle);
        const auto emitted = feed(variant, folder.path(), calibrationChunks).symbolsPerChunk;
        (emitted > symbols ? low : high) = middle;
    }
    return (low + high) / 2;
}

double encoderAloneMs(const Folder& folder, const Variant& variant) {
    using Type = MultiArrayDataType;
    const auto encoder = ModelRunner::load(folder.encoder().string(), {});
    ModelFeatures input{
        {"mel", MultiArray::createZeroed({1, 128, variant.melFrames() + 9}, Type::float32)},
        {"mel_length", MultiArray::createZeroed({1}, Type::int32)},
        {"cache_channel", MultiArray::createZeroed({1, 24, 70, 1024}, Type::float32)},
        {"cache_time", MultiArray::createZeroed({1, 24, 1024, 8}, Type::float32)},
        {"cache_len", MultiArray::createZeroed({1}, Type::int32)}};
    input.at("mel_length").at<std::int32_t>({0}) = variant.melFrames() + 9;
    std::vector<double> times;
    for (int i = 0; i < measuredChunks + 1; ++i) {
        QElapsedTimer timer;
        timer.start();
        encoder->predict(input);
        times.push_back(double(timer.nsecsElapsed()) / 1e6);
    }
    times.erase(times.begin());
    std::nth_element(times.begin(), times.begin() + measuredChunks / 2, times.end());
    return times[measuredChunks / 2];
}

// kB figures from /proc/self/status.
double statusMiB(const char* field) {
    QFile status(QStringLiteral("/proc/self/status"));
    status.open(QIODevice::ReadOnly);
    for (const auto& line : status.readAll().split('\n'))
        if (line.startsWith(field))
            return line.mid(qsizetype(std::strlen(field))).trimmed().split(' ').first().toDouble() /
                   1024;
    return -1;
}

double processorSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Ten minutes of audio as fast as the recognizer takes it, with the models loaded afresh and
// the peak resident memory counted from then on.
void stream(const Variant& variant, const Folder& folder) {
    constexpr int minutes = 10;
    const int chunks = minutes * 60000 / variant.chunkMs;
    QFile clearRefs(QStringLiteral("/proc/self/clear_refs"));
    if (clearRefs.open(QIODevice::WriteOnly))
        clearRefs.write("5");
    StreamingNemotronAsrManager manager({}, std::nullopt);
    QCoro::waitFor(manager.loadModelsFrom(folder.path()));
    const double loadedMiB = statusMiB("VmRSS:");
    const auto audio = blocks(8 * variant.blocksPerChunk());
    std::vector<double> chunkMs;
    double chunkTime = 0, firstMinuteMiB = 0;
    const double processorStart = processorSeconds();
    for (int i = 0; i < chunks * variant.blocksPerChunk(); ++i) {
        QElapsedTimer timer;
        timer.start();
        QCoro::waitFor(manager.process(audio[std::size_t(i) % audio.size()]));
        chunkTime += double(timer.nsecsElapsed()) / 1e6;
        if ((i + 1) % variant.blocksPerChunk() != 0)
            continue;
        chunkMs.push_back(chunkTime);
        chunkTime = 0;
        if (chunkMs.size() == std::size_t(60000 / variant.chunkMs))
            firstMinuteMiB = statusMiB("VmRSS:");
    }
    const double processor = processorSeconds() - processorStart;
    const auto tokens = QCoro::waitFor(manager.snapshot()).accumulatedTokenIds.size();
    std::sort(chunkMs.begin(), chunkMs.end());
    std::printf("int8, %d minutes in %d ms chunks, %.1f symbols per chunk:\n", minutes,
                variant.chunkMs, double(tokens) / chunks);
    std::printf("  per chunk: median %.1f ms, p95 %.1f ms, max %.1f ms\n",
                chunkMs[chunkMs.size() / 2], chunkMs[chunkMs.size() * 95 / 100], chunkMs.back());
    std::printf("  processor time: %.0f%% of the audio's duration (%.0f%% of the machine's %u "
                "cores)\n",
                100 * processor / (minutes * 60),
                100 * processor / (minutes * 60) / std::thread::hardware_concurrency(),
                std::thread::hardware_concurrency());
    std::printf("  resident memory: %.0f MiB loaded, %.0f MiB after a minute, %.0f MiB at the end, "
                "peak %.0f MiB (target 1.2 GB)\n",
                loadedMiB, firstMinuteMiB, statusMiB("VmRSS:"), statusMiB("VmHWM:"));
}

// Returns the blank bias for about four symbols per chunk.
double measure(const Variant& variant, ModelPrecision precision) {
    Folder folder(variant, precision);
    const char* name = precision == ModelPrecision::int8 ? "int8" : "fp32";
    std::printf("%s, %d ms chunks (%d blocks of 20 ms each):\n", name, variant.chunkMs,
                variant.blocksPerChunk());
    std::printf("  %-22s %9s %9s %9s %6s\n", "blank bias", "symbols", "median", "p95", "RTF");
    double silentMs = 0, fourSymbolBias = 0;
    for (const double target : {0.0, 4.0, 10.0}) {
        const double bias = target == 0 ? 1000.0 : calibratedBias(variant, folder, target);
        if (target == 4)
            fourSymbolBias = bias;
        folder.setBlankBias(bias);
        const auto run = feed(variant, folder.path(), measuredChunks);
        const double median = run.percentile(0.5);
        std::printf("  %-22.2f %9.1f %7.1fms %7.1fms %6.2f\n", bias, run.symbolsPerChunk, median,
                    run.percentile(0.95), median / variant.chunkMs);
        if (target == 0)
            silentMs = median;
        else
            std::printf("  %-22s decoder + joint per emitted symbol: %.2f ms\n", "",
                        (median - silentMs) / run.symbolsPerChunk);
    }
    const double encoderMs = encoderAloneMs(folder, variant);
    std::printf("  encoder step alone: %.1f ms (%.0f%% of a silent chunk)\n", encoderMs,
                100 * encoderMs / silentMs);
    return fourSymbolBias;
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    const Variant captions{560, {70, 6}};
    const double bias = measure(captions, ModelPrecision::int8);
    measure(Variant{160, {70, 1}}, ModelPrecision::int8);
    for (const auto& variant : {captions, Variant{160, {70, 1}}})
        measure(variant, ModelPrecision::fp32);
    Folder folder(captions, ModelPrecision::int8);
    folder.setBlankBias(bias);
    stream(captions, folder);
    return 0;
}
