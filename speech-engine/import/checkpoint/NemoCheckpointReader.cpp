#include "speech-engine/import/checkpoint/NemoCheckpointReader.h"

#include "speech-engine/import/checkpoint/ImportFailure.h"
#include "speech-engine/import/checkpoint/NemoArchive.h"
#include "speech-engine/import/checkpoint/NemoConfigReader.h"
#include "speech-engine/import/checkpoint/NemoTensorLayout.h"
#include "speech-engine/import/checkpoint/ScratchFile.h"
#include "speech-engine/import/checkpoint/SentencePieceVocabulary.h"
#include "speech-engine/import/checkpoint/TorchWeights.h"

#include <new>

namespace {

void prepareScratchFolder(const std::filesystem::path& folder) {
    namespace fs = std::filesystem;
    if (!fs::exists(folder)) {
        fs::create_directories(folder);
        fs::permissions(folder, fs::perms::owner_all, fs::perm_options::replace);
    }
    if (!fs::is_directory(folder))
        ImportFailure::raise("The scratch folder " + folder.string() + " is not a folder");
}

NemoCheckpoint readChecked(const std::filesystem::path& checkpoint,
                           const std::filesystem::path& scratchFolder) {
    prepareScratchFolder(scratchFolder);
    const ScratchFile weightsFile(scratchFolder / NemoArchive::weightsMember);
    std::filesystem::remove(weightsFile.path()); // left by an interrupted import
    NemoCheckpoint result;
    const auto members =
        NemoArchive::extract(checkpoint, weightsFile.path(), [&](const std::string& config) {
            result.config = NemoConfigReader::parse(config);
            return result.config.tokenizerModel;
        });
    result.pieces = SentencePieceVocabulary::pieces(members.tokenizer);
    const auto vocabulary = static_cast<std::int64_t>(result.pieces.size());
    if (vocabulary != result.config.decoder.vocabSize)
        ImportFailure::raise("The checkpoint's tokenizer has " + std::to_string(vocabulary) +
                             " pieces but its config declares a vocabulary of " +
                             std::to_string(result.config.decoder.vocabSize));
    result.weights =
        NemoTensorLayout::select(TorchWeights::read(weightsFile.path()), result.config);
    return result;
}

} // namespace

NemoCheckpoint NemoCheckpointReader::read(const std::filesystem::path& checkpoint,
                                          const std::filesystem::path& scratchFolder) {
    try {
        return readChecked(checkpoint, scratchFolder);
    } catch (const std::filesystem::filesystem_error& error) {
        ImportFailure::raise(std::string("Cannot use the scratch folder: ") +
                             error.code().message() + " (" + error.path1().string() + ")");
    } catch (const std::bad_alloc&) {
        ImportFailure::raise("Not enough memory to read the checkpoint");
    }
}
