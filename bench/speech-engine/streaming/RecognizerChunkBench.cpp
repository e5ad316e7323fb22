// The whole recognizer as captions feed it: 20 ms blocks of 16 kHz mono in, partial transcripts
// out, on model folders the importer made from the real-size random-weight checkpoint (int8 and
// fp32, 560 ms and 160 ms chunks). The joint's blank bias, in the benchmark's copy of the
// folder, steers how many symbols a chunk emits (0, about 4, about 10), calibrated on the int8
// folder of each chunk size; a chunk's time is everything its blocks cost the caller. Then where a
// chunk's time goes: the preprocessor, the encoder step and one decoding step, each on its own.
// Last, ten minutes of audio through the int8 560 ms recognizer, in a process of its own (this
// one run with "--stream BIAS"): p95, processor share and memory.
#include "bench/speech-engine/ProcessMemory.h"
#include "bench/speech-engine/RealSizeModels.h"
#include "bench/support/SpeechLikeNoise.h"
#include "speech-engine/core/ModelNames.h"
#include "speech-engine/model-files/NemotronStreamingConfig.h"
#include "speech-engine/runtime/ModelRunner.h"
#include "speech-engine/streaming/StreamingNemotronAsrManager.h"
#include "tests/support/RunToCompletion.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <random>
#include <thread>

#include <sys/resource.h>

namespace {

namespace fs = std::filesystem;

constexpr int blockSamples = 320; // 20 ms
constexpr int measuredChunks = 12;
// One thread per recognizer: on two cores shared with other work, a second OpenMP thread waits
// on descheduled team members at each of a step's parallel regions and costs far more than it
// brings (see bench-encoder-threads).
const ModelConfiguration threads{1};

struct Variant {
    int chunkMs;
    ModelPrecision precision;
    int blocksPerChunk() const { return chunkMs / 20; }
    const char* precisionName() const {
        return precision == ModelPrecision::int8 ? "int8" : "fp32";
    }
};

// Blocks of speech-like noise, the same for every run.
std::vector<PcmBuffer> blocks(int count) {
    SpeechLikeNoise noise;
    std::vector<PcmBuffer> result;
    for (int i = 0; i < count; ++i) {
        PcmBuffer block(PcmFormat{16000, 1, SampleType::float32, false}, blockSamples);
        noise.fill(block.samples<float>(0));
        result.push_back(std::move(block));
    }
    return result;
}

double millisecondsSince(const QElapsedTimer& timer) {
    return double(timer.nsecsElapsed()) / 1e6;
}

double percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, std::size_t(p * double(values.size())))];
}

// The imported folder with the joint's blank bias changed.
class BiasedFolder {
public:
    explicit BiasedFolder(const Variant& variant)
        : m_original(RealSizeModels::folder(variant.chunkMs, variant.precision)) {}
    QString path() const { return m_copy.filePath(QStringLiteral("model")); }
    const fs::path& original() const { return m_original; }
    // The random weights give every frame about the same margin between the blank and the
    // best token, so that a bias alone turns emission from none to every frame at once. Scaled
    // up, the blank logit's small differences between frames and predictions spread emission
    // over them, as speech would.
    void setBlankBias(double bias) {
        RealSizeModels::copyWithBlankLogit(m_original, path().toStdString(), 50, bias);
    }

private:
    fs::path m_original;
    QTemporaryDir m_copy;
};

// Processor time of the whole process: a chunk's work, whichever thread does it, and not the
// time it waits for the cores while other work runs on them.
double processorMs() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return double(now.tv_sec) * 1e3 + double(now.tv_nsec) / 1e6;
}

struct Run {
    std::vector<double> chunkMs;
    std::vector<double> chunkProcessorMs;
    double symbolsPerChunk = 0;
    double hopsPerChunk = 0;
};

// Feeds `warmUpChunks` chunks, then `chunks` chunks, block by block; a chunk's time is the sum of
// its blocks' calls. TorchScript runs a method's first calls unoptimized while it records shapes,
// then optimizes it: the first chunks after a load cost up to 2.5 times a steady one (121, 63,
// then 43 ms at 160 ms), once per loaded model, which is not what a stream's chunks cost.
constexpr int warmUpChunks = 3;

Run feed(const Variant& variant, const QString& folder, int chunks) {
    StreamingNemotronAsrManager manager(threads);
    runToCompletion(manager.loadModelsFrom(folder));
    runToCompletion(manager.setPartialCallback([](const QString&) {}));
    const auto audio = blocks((warmUpChunks + chunks) * variant.blocksPerChunk());
    Run run;
    double chunkTime = 0, chunkProcessor = 0;
    std::size_t tokensBefore = 0;
    std::uint64_t hopsBefore = 0;
    for (std::size_t i = 0; i < audio.size(); ++i) {
        QElapsedTimer timer;
        timer.start();
        const double processorStart = processorMs();
        runToCompletion(manager.process(audio[i]));
        chunkTime += millisecondsSince(timer);
        chunkProcessor += processorMs() - processorStart;
        if ((i + 1) % std::size_t(variant.blocksPerChunk()) != 0)
            continue;
        if (i + 1 == std::size_t(warmUpChunks * variant.blocksPerChunk())) {
            tokensBefore = runToCompletion(manager.snapshot()).accumulatedTokenIds.size();
            hopsBefore = manager.executorHops();
        } else if (i + 1 > std::size_t(warmUpChunks * variant.blocksPerChunk())) {
            run.chunkMs.push_back(chunkTime);
            run.chunkProcessorMs.push_back(chunkProcessor);
        }
        chunkTime = chunkProcessor = 0;
    }
    const auto tokens = runToCompletion(manager.snapshot()).accumulatedTokenIds.size();
    run.symbolsPerChunk = double(tokens - tokensBefore) / chunks;
    // Less the snapshot's own hop.
    run.hopsPerChunk = double(manager.executorHops() - hopsBefore - 1) / chunks;
    return run;
}

MultiArray zeros(std::vector<std::int64_t> shape, MultiArrayDataType type) {
    return MultiArray::createZeroed(std::move(shape), type);
}

// Median processor milliseconds of `call` over 20 runs after 3 to warm up.
template <typename Call> double medianMs(Call call) {
    for (int warmUp = 0; warmUp < 3; ++warmUp)
        call();
    std::vector<double> times;
    for (int i = 0; i < 20; ++i) {
        const double start = processorMs();
        call();
        times.push_back(processorMs() - start);
    }
    return percentile(times, 0.5);
}

std::unique_ptr<ModelRunner> load(const fs::path& folder, QLatin1String file) {
    return ModelRunner::load((folder / file.toString().toStdString()).string(), threads);
}

struct Costs {
    double preprocessor, encoder, encoderRepeated, symbol, blankFrame;
};

// Mel inputs of random loudness, so that each differs from the last as a stream's chunks do.
std::vector<MultiArray> randomMels(std::int64_t frames, int count) {
    std::mt19937 random(11);
    std::normal_distribution<float> noise(0.0f, 1.0f);
    std::uniform_real_distribution<float> level(-8.0f, 2.0f);
    std::vector<MultiArray> mels;
    for (int i = 0; i < count; ++i) {
        auto mel = MultiArray::createZeroed({1, 128, frames}, MultiArrayDataType::float32);
        const float base = level(random);
        for (std::int64_t bin = 0; bin < 128; ++bin)
            for (std::int64_t frame = 0; frame < frames; ++frame)
                mel.at<float>({0, bin, frame}) = base + noise(random);
        mels.push_back(std::move(mel));
    }
    return mels;
}

// Each model on its own, on inputs of a chunk's shapes: the encoder step, one emitted symbol
// (prediction network, its projection and a joint call) and one blank frame (a joint call).
// The encoder step is timed on a new input each time, as a stream gives it, and on one input
// repeated: a step whose cost depends on its input's values shows as the difference (oneDNN's
// int8 products, which rebuilt their kernels for every new input scale, cost a fifth more).
Costs costsOfTheParts(const Variant& variant, const fs::path& folder) {
    using namespace ModelNames::NemotronStreaming;
    using Type = MultiArrayDataType;
    const std::int64_t frames = variant.chunkMs / 10;
    const auto preprocessor = load(folder, preprocessorFile);
    const ModelFeatures audio{{"audio", zeros({1, (frames - 1) * 160 + 513}, Type::float32)},
                              {"audio_length", zeros({1}, Type::int32)}};
    audio.at("audio_length").at<std::int32_t>({0}) = std::int32_t((frames - 1) * 160 + 513);
    const auto encoder = load(folder, encoderPath);
    const auto config = NemotronStreamingConfig::fromFile(QString::fromStdString(folder.string()) +
                                                          u'/' + metadata);
    const ModelFeatures mel{{"mel", zeros({1, 128, frames + 9}, Type::float32)},
                            {"mel_length", zeros({1}, Type::int32)},
                            {"cache_channel", zeros(config.cacheChannelShape, Type::float32)},
                            {"cache_time", zeros(config.cacheTimeShape, Type::float32)},
                            {"cache_len", zeros({1}, Type::int32)}};
    mel.at("mel_length").at<std::int32_t>({0}) = std::int32_t(frames + 9);
    const auto mels = randomMels(frames + 9, 23);
    std::size_t nextMel = 0;
    auto freshMel = mel;
    const auto encodeFresh = [&] {
        freshMel.insert_or_assign("mel", mels[nextMel++ % mels.size()]);
        encoder->predict(freshMel);
    };
    const auto decoder = load(folder, decoderFile);
    const auto joint = load(folder, jointFile);
    const ModelFeatures step{{"token", zeros({1, 1}, Type::int32)},
                             {"token_length", zeros({1}, Type::int32)},
                             {"h_in", zeros({2, 1, 640}, Type::float32)},
                             {"c_in", zeros({2, 1, 640}, Type::float32)}};
    const ModelFeatures projected{{"encoder", zeros({1, 1, 640}, Type::float32)},
                                  {"decoder", zeros({1, 1, 640}, Type::float32)}};
    return {medianMs([&] { preprocessor->predict(audio); }), medianMs(encodeFresh),
            medianMs([&] { encoder->predict(mel); }), medianMs([&] {
                const auto out = decoder->predict(step).at("decoder_out");
                joint->predict({{"decoder", out}}, "project_decoder");
                joint->predict(projected, "joint_projected");
            }),
            medianMs([&] { joint->predict(projected, "joint_projected"); })};
}

double processorSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// The blank biases for 0, about 4 and about 10 symbols per chunk: those given, else calibrated.
std::vector<double> measure(const Variant& variant, std::vector<double> biases = {}) {
    BiasedFolder folder(variant);
    std::printf("\n%s, %d ms chunks, fed in 20 ms blocks (%d per chunk), %d chunks per row; "
                "times per chunk, processor: median processor time per chunk:\n",
                variant.precisionName(), variant.chunkMs, variant.blocksPerChunk(), measuredChunks);
    std::printf("  %8s %8s %9s %9s %10s %9s %11s %6s\n", "symbols", "bias", "median", "p95",
                "RTF median", "RTF p95", "processor", "hops");
    if (biases.empty())
        for (const double target : {0.0, 4.0, 10.0})
            biases.push_back(
                target == 0
                    ? 1000.0
                    : RealSizeModels::calibratedBlankBias(target, [&](double bias) {
                          folder.setBlankBias(bias);
                          return feed(variant, folder.path(), measuredChunks).symbolsPerChunk;
                      }));
    std::vector<std::pair<double, double>> symbolsAndProcessorMs;
    for (const double bias : biases) {
        folder.setBlankBias(bias);
        const auto run = feed(variant, folder.path(), measuredChunks);
        const double median = percentile(run.chunkMs, 0.5), p95 = percentile(run.chunkMs, 0.95);
        const double processor = percentile(run.chunkProcessorMs, 0.5);
        std::printf("  %8.1f %8.3f %7.1fms %7.1fms %10.3f %9.3f %9.1fms %6.1f\n",
                    run.symbolsPerChunk, bias, median, p95, median / variant.chunkMs,
                    p95 / variant.chunkMs, processor, run.hopsPerChunk);
        symbolsAndProcessorMs.emplace_back(run.symbolsPerChunk, processor);
    }
    const auto costs = costsOfTheParts(variant, folder.original());
    std::printf(
        "  parts alone, processor time: preprocessor %.2f ms, encoder step %.1f ms (%.1f ms "
        "on a repeated input), per emitted symbol %.3f ms (decoder + joint, target 0.5), "
        "per blank frame %.3f ms\n",
        costs.preprocessor, costs.encoder, costs.encoderRepeated, costs.symbol, costs.blankFrame);
    // Each encoder frame (80 ms) ends in a blank; each symbol costs a decoding step.
    const double frames = variant.chunkMs / 80.0;
    for (const auto& [symbols, processor] : symbolsAndProcessorMs) {
        const double decoding = frames * costs.blankFrame + symbols * costs.symbol;
        std::printf("  profile at %.1f symbols, %.1f ms of processor per chunk: encoder %.1f ms "
                    "(%.0f%%), preprocessor %.1f ms, decoder and joint %.1f ms, outside the "
                    "models %.1f ms\n",
                    symbols, processor, costs.encoder, 100 * costs.encoder / processor,
                    costs.preprocessor, decoding,
                    processor - costs.encoder - costs.preprocessor - decoding);
    }
    return biases;
}

// Ten minutes of audio as fast as the recognizer takes it, with the models loaded afresh; the
// peak resident memory of loading and of listening are counted apart.
void stream(const Variant& variant, double bias) {
    constexpr int minutes = 10;
    const int chunks = minutes * 60000 / variant.chunkMs;
    BiasedFolder folder(variant);
    folder.setBlankBias(bias);
    ProcessMemory::resetPeak();
    StreamingNemotronAsrManager manager(threads);
    runToCompletion(manager.loadModelsFrom(folder.path()));
    const double loadedMiB = ProcessMemory::statusMiB("VmRSS:");
    const double loadPeakMiB = ProcessMemory::statusMiB("VmHWM:");
    ProcessMemory::resetPeak();
    const auto audio = blocks(8 * variant.blocksPerChunk());
    std::vector<double> chunkMs;
    double chunkTime = 0, firstMinuteMiB = 0;
    const double processorStart = processorSeconds();
    QElapsedTimer wall;
    wall.start();
    for (int i = 0; i < chunks * variant.blocksPerChunk(); ++i) {
        QElapsedTimer timer;
        timer.start();
        runToCompletion(manager.process(audio[std::size_t(i) % audio.size()]));
        chunkTime += millisecondsSince(timer);
        if ((i + 1) % variant.blocksPerChunk() != 0)
            continue;
        chunkMs.push_back(chunkTime);
        chunkTime = 0;
        if (chunkMs.size() == std::size_t(60000 / variant.chunkMs))
            firstMinuteMiB = ProcessMemory::statusMiB("VmRSS:");
    }
    const double processor = processorSeconds() - processorStart;
    const auto tokens = runToCompletion(manager.snapshot()).accumulatedTokenIds.size();
    std::printf("\n%s, %d minutes in %d ms chunks, %.1f symbols per chunk, run in %.0f s:\n",
                variant.precisionName(), minutes, variant.chunkMs, double(tokens) / chunks,
                millisecondsSince(wall) / 1000);
    std::printf("  per chunk: median %.1f ms, p95 %.1f ms, max %.1f ms\n", percentile(chunkMs, 0.5),
                percentile(chunkMs, 0.95), percentile(chunkMs, 1.0));
    std::printf("  processor time: %.0f%% of the audio's duration (%.0f%% of the machine's %u "
                "cores)\n",
                100 * processor / (minutes * 60),
                100 * processor / (minutes * 60) / std::thread::hardware_concurrency(),
                std::thread::hardware_concurrency());
    std::printf("  resident memory: peak %.0f MiB while loading; with the model loaded and "
                "listening %.0f MiB loaded, %.0f MiB after a minute, %.0f MiB at the end, peak "
                "%.0f MiB (target 1.2 GB)\n",
                loadPeakMiB, loadedMiB, firstMinuteMiB, ProcessMemory::statusMiB("VmRSS:"),
                ProcessMemory::statusMiB("VmHWM:"));
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0); // each row as it is measured
    if (argc == 3 && std::string(argv[1]) == "--stream") {
        stream({560, ModelPrecision::int8}, std::stod(argv[2]));
        return 0;
    }
    const Variant captions{560, ModelPrecision::int8};
    const auto biases = measure(captions);
    std::printf("  (160 ms below: the Korean reply takes 160 ms chunks if their RTF is at most "
                "0.6, else 560 ms)\n");
    const auto shortBiases = measure({160, ModelPrecision::int8});
    measure({560, ModelPrecision::fp32}, biases);
    measure({160, ModelPrecision::fp32}, shortBiases);
    // In a process of its own, so that the memory figures are those of one loaded model alone.
    std::fflush(stdout);
    const auto command = std::string(argv[0]) + " --stream " + std::to_string(biases[1]);
    return std::system(command.c_str()) == 0 ? 0 : 1;
}
