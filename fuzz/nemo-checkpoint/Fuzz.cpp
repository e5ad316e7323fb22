// The parts of a .nemo checkpoint, each from the same bytes after a first byte that picks the
// part: the archive, the config, the weights' zip and pickle, the tokenizer model. Any bytes
// give their records or a ModelImportError, nothing else.

#include "speech-engine/import/checkpoint/NemoArchive.h"
#include "speech-engine/import/checkpoint/NemoConfigReader.h"
#include "speech-engine/import/checkpoint/SentencePieceVocabulary.h"
#include "speech-engine/import/checkpoint/StateDictPickle.h"
#include "speech-engine/import/checkpoint/TorchWeights.h"
#include "speech-engine/import/vocabulary/ModelImport.h"

#include <cstdint>
#include <filesystem>
#include <string_view>
#include <unistd.h>

namespace {

struct RemovedAfterwards {
    std::filesystem::path path;
    ~RemovedAfterwards() { std::filesystem::remove(path); }
};

void readPart(std::uint8_t part, std::span<const std::byte> bytes) {
    const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    switch (part % 5) {
    case 0:
        NemoConfigReader::parse(text);
        break;
    case 1:
        StateDictPickle::parse(bytes);
        break;
    case 2:
        TorchWeights::read(bytes);
        break;
    case 3:
        SentencePieceVocabulary::pieces(text);
        break;
    default:
        const RemovedAfterwards weights{std::filesystem::temp_directory_path() /
                                        ("relayo-fuzz-weights-" + std::to_string(getpid()))};
        NemoArchive::extract(bytes, weights.path, [](const std::string& config) {
            return NemoConfigReader::parse(config).tokenizerModel;
        });
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    try {
        readPart(data[0], {reinterpret_cast<const std::byte*>(data) + 1, size - 1});
    } catch (const ModelImportError&) {
    }
    return 0;
}
