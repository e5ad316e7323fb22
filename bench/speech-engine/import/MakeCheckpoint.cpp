// bench-make-checkpoint OUT.nemo [--multilingual]: writes a real-size random-weight checkpoint.
#include "bench/speech-engine/import/BenchCheckpointWriter.h"

#include <cstdio>
#include <exception>
#include <string>

int main(int argc, char** argv) {
    const bool multilingual = argc == 3 && std::string(argv[2]) == "--multilingual";
    if (argc < 2 || (argc == 3 && !multilingual) || argc > 3) {
        std::fprintf(stderr, "usage: bench-make-checkpoint OUT.nemo [--multilingual]\n");
        return 2;
    }
    try {
        BenchCheckpointWriter::write(argv[1], {multilingual});
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }
    std::printf("%s\n", argv[1]);
    return 0;
}
