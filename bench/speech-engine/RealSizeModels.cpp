#include "bench/speech-engine/RealSizeModels.h"

#include "speech-engine/import/EncoderModuleBuilder.h"
#include "speech-engine/import/NemoCheckpointReader.h"

#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>

namespace fs = std::filesystem;

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

fs::path RealSizeModels::encoder(std::pair<std::int64_t, std::int64_t> attContext,
                                 ModelPrecision precision) {
    const auto file =
        cacheFolder() /
        ("encoder-" + std::to_string(attContext.first) + "-" + std::to_string(attContext.second) +
         (precision == ModelPrecision::int8 ? "-int8" : "-fp32") + ".pt");
    if (!fs::exists(file)) {
        std::printf("building %s\n", file.c_str());
        std::fflush(stdout);
        const auto scratch = cacheFolder() / "scratch";
        const auto read = NemoCheckpointReader::read(checkpoint(), scratch);
        const auto partial = fs::path(file).concat(".partial");
        EncoderModuleBuilder::save(read, attContext, precision, std::nullopt, partial);
        fs::rename(partial, file);
    }
    return file;
}
