// bench-model-import [CHECKPOINT.nemo]: wall time and peak resident memory of importing a
// checkpoint of the published size (random weights, written first by bench-make-checkpoint unless
// one is named) into an int8 and an fp32 folder. Each import runs in a child process of its own,
// so each peak is that import's alone. The writer runs as a program of its own because its
// SentencePiece trainer cannot share a process with libtorch.

#include "speech-engine/import/ModelImporter.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

struct Measurement {
    bool succeeded = false;
    double seconds = 0;
    double peakMiB = 0;
};

Measurement measureImport(const fs::path& checkpoint, const fs::path& folder,
                          ModelPrecision precision) {
    const auto start = std::chrono::steady_clock::now();
    const pid_t child = fork();
    if (child == 0) {
        try {
            ImportOptions options;
            options.precision = precision;
            ModelImporter::importCheckpoint(checkpoint, folder, options);
            std::_Exit(0);
        } catch (const std::exception& error) {
            std::fprintf(stderr, "import failed: %s\n", error.what());
            std::_Exit(1);
        }
    }
    int status = 0;
    rusage usage{};
    if (child < 0 || wait4(child, &status, 0, &usage) != child)
        return {};
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    return {WIFEXITED(status) && WEXITSTATUS(status) == 0, elapsed.count(),
            usage.ru_maxrss / 1024.0};
}

bool writeCheckpoint(const fs::path& checkpoint) {
    const std::string program = BENCH_MAKE_CHECKPOINT;
    const std::string path = checkpoint.string();
    char* const arguments[] = {const_cast<char*>(program.c_str()), const_cast<char*>(path.c_str()),
                               nullptr};
    pid_t writer = 0;
    int status = 0;
    return posix_spawn(&writer, program.c_str(), nullptr, nullptr, arguments, environ) == 0 &&
           waitpid(writer, &status, 0) == writer && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

} // namespace

int main(int argc, char* argv[]) {
    if (argc > 2) {
        std::fprintf(stderr, "usage: bench-model-import [CHECKPOINT.nemo]\n");
        return 2;
    }
    const auto scratch =
        fs::temp_directory_path() / ("bench-model-import-" + std::to_string(getpid()));
    fs::create_directories(scratch);
    const fs::path checkpoint = argc == 2 ? fs::path(argv[1]) : scratch / "published-size.nemo";
    if (argc == 1 && !writeCheckpoint(checkpoint)) {
        std::fprintf(stderr, "cannot write the checkpoint\n");
        fs::remove_all(scratch);
        return 1;
    }
    std::printf("checkpoint: %s (%.0f MiB)\n", checkpoint.c_str(),
                fs::file_size(checkpoint) / 1048576.0);
    int failures = 0;
    for (const auto& [name, precision] :
         {std::pair{"int8", ModelPrecision::int8}, std::pair{"fp32", ModelPrecision::fp32}}) {
        const auto result = measureImport(checkpoint, scratch / name, precision);
        failures += !result.succeeded;
        if (result.succeeded)
            std::printf("import %s: %.1f s, peak RSS %.0f MiB\n", name, result.seconds,
                        result.peakMiB);
        else
            std::printf("import %s: FAILED\n", name);
    }
    fs::remove_all(scratch);
    return failures == 0 ? 0 : 1;
}
