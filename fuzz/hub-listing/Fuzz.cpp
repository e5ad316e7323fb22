// The model hub's file listing: the repository's checkpoint, or ModelDownloadError.

#include "fuzz/FuzzInput.h"
#include "speech-engine/hub/ModelDownloadError.h"
#include "speech-engine/hub/ModelHub.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    try {
        ModelHub::checkpointInListing(QJsonDocument::fromJson(FuzzInput::bytes(data, size)),
                                      QStringLiteral("nvidia/model"),
                                      QStringLiteral("0123456789abcdef0123456789abcdef01234567"));
    } catch (const ModelDownloadError&) {
    }
    return 0;
}
