// The model hub's file listing: the variant's files, or std::runtime_error / ASRError.

#include "fuzz/FuzzInput.h"
#include "speech-engine/NemotronModelDownloader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    try {
        NemotronModelDownloader::filesInListing(FuzzInput::bytes(data, size),
                                                Repo::nemotronStreaming560);
    } catch (const std::runtime_error&) {
    }
    return 0;
}
