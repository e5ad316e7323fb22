// libtorch first: Qt's keyword macros (through ModelNames.h) would break its headers.
#include <torch/script.h>

#include "bench/speech-engine/RealSizeModels.h"

#include "speech-engine/core/ModelNames.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>

namespace fs = std::filesystem;

namespace {

std::string fileName(QLatin1String name) {
    return {name.data(), std::size_t(name.size())};
}

} // namespace

fs::path RealSizeModels::cacheFolder() {
    const char* chosen = std::getenv("RELAYO_BENCH_MODELS");
    const fs::path folder =
        chosen && *chosen ? fs::path(chosen) : fs::path(RELAYO_BENCH_MODELS_DIR);
    fs::create_directories(folder);
    return folder;
}

fs::path RealSizeModels::checkpoint() {
    const auto file = cacheFolder() / "bench-en.nemo";
    if (!fs::exists(file)) {
        std::printf("writing the real-size random-weight checkpoint %s\n", file.c_str());
        std::fflush(stdout);
        // A process of its own: SentencePiece's protobuf and libtorch's cannot share one.
        const auto command = std::string(RELAYO_BENCH_MAKE_CHECKPOINT) + " '" + file.string() + "'";
        if (std::system(command.c_str()) != 0)
            throw std::runtime_error("could not write " + file.string());
    }
    return file;
}

// A folder older than this benchmark may come from an older importer, so it is made anew; the
// import goes to a partial folder first, so that a stopped run leaves no folder that looks whole.
fs::path RealSizeModels::folder(int chunkMs, ModelPrecision precision) {
    using ModelNames::NemotronStreaming::metadata;
    const auto folder = cacheFolder() / ("en-" + std::to_string(chunkMs) +
                                         (precision == ModelPrecision::int8 ? "-int8" : "-fp32"));
    const auto stamp = folder / fileName(metadata);
    if (!fs::exists(stamp) || fs::last_write_time(stamp) < fs::last_write_time("/proc/self/exe")) {
        std::printf("importing %s\n", folder.c_str());
        std::fflush(stdout);
        ImportOptions options;
        options.chunkMs = chunkMs;
        options.precision = precision;
        const auto partial = fs::path(folder).concat(".partial");
        fs::remove_all(partial);
        ModelImporter::importCheckpoint(checkpoint(), partial, options);
        fs::remove_all(folder);
        fs::rename(partial, folder);
    }
    return folder;
}

fs::path RealSizeModels::encoder(std::pair<std::int64_t, std::int64_t> attContext,
                                 ModelPrecision precision) {
    // A right context of r subsampled frames makes chunks of (r + 1) * 80 ms.
    return folder(int(80 * (attContext.second + 1)), precision) /
           fileName(ModelNames::NemotronStreaming::encoderPath);
}

void RealSizeModels::copyWithBlankLogit(const fs::path& folder, const fs::path& copy, double scale,
                                        double bias) {
    using namespace ModelNames::NemotronStreaming;
    fs::remove_all(copy);
    fs::create_directories((copy / fileName(encoderPath)).parent_path());
    for (const auto& file : {preprocessorFile, encoderPath, decoderFile, metadata, tokenizer})
        fs::create_symlink(folder / fileName(file), copy / fileName(file));
    auto joint = torch::jit::load((folder / fileName(jointFile)).string());
    auto weight = joint.attr("out_weight").toTensor();
    auto outBias = joint.attr("out_bias").toTensor();
    const auto blank = outBias.size(0) - 1;
    weight[blank] *= scale;
    outBias[blank] = outBias[blank] * scale + bias;
    joint.save((copy / fileName(jointFile)).string());
}

double RealSizeModels::calibratedBlankBias(double symbols,
                                           const std::function<double(double)>& emittedAt) {
    double low = -100, high = 100, closest = 0, closestMiss = INFINITY;
    for (int step = 0; step < 24 && closestMiss > symbols / 5; ++step) {
        const double middle = (low + high) / 2;
        const double emitted = emittedAt(middle);
        if (std::abs(emitted - symbols) < closestMiss) {
            closest = middle;
            closestMiss = std::abs(emitted - symbols);
        }
        (emitted > symbols ? low : high) = middle;
    }
    return closest;
}
