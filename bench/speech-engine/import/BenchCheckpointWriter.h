#pragma once

#include <filesystem>

// Writes a real-size, random-weight NeMo checkpoint (.nemo) in the layout of the published
// streaming models, for benchmarks of the importer and the engine. Takes minutes and about
// 2.5 GB of disk; never used by tests.
namespace BenchCheckpointWriter {

struct Options {
    // The multilingual layout: 13 087 pieces with language tags, prompt conditioning with 128
    // prompts, and a [56, 3] attention context among the listed ones.
    bool multilingual = false;
};

void write(const std::filesystem::path& nemo, const Options& options);

} // namespace BenchCheckpointWriter
