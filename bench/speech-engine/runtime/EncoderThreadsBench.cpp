// The real-size encoder step (int8 and fp32, 560 ms and 160 ms chunks) under each thread
// setting, each in a fresh process (the OpenMP wait policy is read when the process starts),
// with the models run on a thread of their own as the recognizer's executor runs them. Then two
// int8 recognizers stepping at the same time, as captions and a Korean reply do. Every step gets
// a mel of its own and the caches of the step before: a step repeated on one input hides the
// costs that vary with the input.
#include "bench/speech-engine/RealSizeModels.h"
#include "speech-engine/runtime/ModelRunner.h"

#include <QCoreApplication>
#include <QProcess>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int steps = 10;

struct Setting {
    const char* name;
    int threads;
    bool passiveWait;
};

// The first is how the runner runs models unless told otherwise.
const Setting settings[] = {{"1 thread (the runner's default)", 1, false},
                            {"2 threads", 2, false},
                            {"2 threads, OpenMP passive wait", 2, true}};

struct Encoder {
    const char* name;
    std::int64_t right; // attention context {70, right}
    ModelPrecision precision;
    std::int64_t melFrames() const { return 9 + 8 * (right + 1); }
    double chunkMs() const { return 80.0 * double(right + 1); }
};

const Encoder encoders[] = {{"int8 560 ms", 6, ModelPrecision::int8},
                            {"int8 160 ms", 1, ModelPrecision::int8},
                            {"fp32 560 ms", 6, ModelPrecision::fp32},
                            {"fp32 160 ms", 1, ModelPrecision::fp32}};

std::string fileOf(const Encoder& encoder) {
    return RealSizeModels::encoder({70, encoder.right}, encoder.precision).string();
}

// Log-mel-like noise, different at every step.
MultiArray melOf(std::int64_t frames, std::mt19937& random) {
    auto mel = MultiArray::createZeroed({1, 128, frames}, MultiArrayDataType::float32);
    std::normal_distribution<float> noise(-4.0f, 2.5f);
    std::generate(mel.data<float>(), mel.data<float>() + mel.count(),
                  [&] { return noise(random); });
    return mel;
}

struct Times {
    double median = 0, p95 = 0;
};

// `steps` encoder steps on their own caches after two to warm up, from zeroed caches.
Times stepTimes(const ModelRunner& encoder, std::int64_t melFrames, unsigned seed) {
    using Type = MultiArrayDataType;
    std::mt19937 random(seed);
    auto length = MultiArray::createZeroed({1}, Type::int32);
    length.at<std::int32_t>({0}) = std::int32_t(melFrames);
    ModelFeatures state{
        {"cache_channel", MultiArray::createZeroed({1, 24, 70, 2048}, Type::float32)},
        {"cache_time", MultiArray::createZeroed({1, 24, 1024, 8}, Type::float32)},
        {"cache_len", MultiArray::createZeroed({1}, Type::int32)}};
    std::vector<double> times;
    for (int i = 0; i < steps + 2; ++i) {
        auto inputs = state;
        inputs.emplace("mel", melOf(melFrames, random));
        inputs.emplace("mel_length", length);
        const auto start = std::chrono::steady_clock::now();
        const auto out = encoder.predict(inputs);
        times.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count());
        state = {{"cache_channel", out.at("cache_channel_out")},
                 {"cache_time", out.at("cache_time_out")},
                 {"cache_len", out.at("cache_len_out")}};
    }
    times.erase(times.begin(), times.begin() + 2);
    std::sort(times.begin(), times.end());
    return {times[steps / 2], times[(steps * 95 + 99) / 100 - 1]};
}

// The child: loads and steps the given encoders with one setting, each on a thread of its own,
// one after the other or all at once; prints median and p95 of each.
int runChild(int threads, bool together, const std::vector<int>& chosen) {
    std::vector<Times> results(chosen.size());
    const auto run = [&](std::size_t i) {
        const auto& encoder = encoders[chosen[i]];
        const auto runner = ModelRunner::load(fileOf(encoder), {threads});
        results[i] = stepTimes(*runner, encoder.melFrames(), unsigned(i));
    };
    std::vector<std::thread> running;
    for (std::size_t i = 0; i < chosen.size(); ++i) {
        running.emplace_back(run, i);
        if (!together)
            running.back().join();
    }
    for (auto& thread : running)
        if (thread.joinable())
            thread.join();
    for (const auto& times : results)
        std::printf("%.1f %.1f ", times.median, times.p95);
    std::printf("\n");
    return 0;
}

void report(const Setting& setting, bool together, const std::vector<int>& chosen) {
    QProcess child;
    auto environment = QProcessEnvironment::systemEnvironment();
    environment.remove("OMP_WAIT_POLICY");
    if (setting.passiveWait)
        environment.insert("OMP_WAIT_POLICY", "PASSIVE");
    child.setProcessEnvironment(environment);
    QStringList arguments{"--child", QString::number(setting.threads),
                          together ? "together" : "alone"};
    for (const int index : chosen)
        arguments << QString::number(index);
    child.start(QCoreApplication::applicationFilePath(), arguments);
    child.waitForFinished(-1);
    const auto figures =
        QString::fromUtf8(child.readAllStandardOutput()).trimmed().split(' ', Qt::SkipEmptyParts);
    if (figures.size() != qsizetype(2 * chosen.size())) {
        std::printf("  %-34s failed: %s\n", setting.name, child.readAllStandardError().constData());
        return;
    }
    std::printf("  %-34s", setting.name);
    for (std::size_t i = 0; i < chosen.size(); ++i) {
        const double median = figures[qsizetype(2 * i)].toDouble();
        std::printf("  %7.1f / %7.1f ms (RTF %.2f)", median,
                    figures[qsizetype(2 * i + 1)].toDouble(),
                    median / encoders[chosen[i]].chunkMs());
    }
    std::printf("\n");
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc >= 5 && std::string(argv[1]) == "--child") {
        std::vector<int> chosen;
        for (int i = 4; i < argc; ++i)
            chosen.push_back(std::stoi(argv[i]));
        return runChild(std::stoi(argv[2]), std::string(argv[3]) == "together", chosen);
    }
    for (const auto& encoder : encoders)
        fileOf(encoder);
    std::printf("real-size encoder step on its own caches, median / p95 of %d, one at a time:\n",
                steps);
    std::printf("  %-34s", "setting");
    for (const auto& encoder : encoders)
        std::printf("  %-32s", encoder.name);
    std::printf("\n");
    for (const auto& setting : settings)
        report(setting, false, {0, 1, 2, 3});
    std::printf("captions (int8 560 ms) and a reply (int8 160 ms) stepping at the same time:\n");
    for (const auto& setting : settings)
        report(setting, true, {0, 1});
    return 0;
}
