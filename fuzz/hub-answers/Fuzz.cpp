// The model hub's answers to a download: the revision answer (first byte even) gives its commit
// or ModelDownloadError; a 206 answer's Content-Range (first byte odd) continues the partial file
// or not, for the file offsets and sizes of its first 16 bytes.

#include "fuzz/FuzzInput.h"
#include "speech-engine/hub/CheckpointTransfer.h"
#include "speech-engine/hub/ModelDownloadError.h"
#include "speech-engine/hub/ModelHub.h"

#include <cstring>

namespace {

qint64 integerAt(const std::uint8_t* data) {
    qint64 value = 0;
    std::memcpy(&value, data, sizeof value);
    return value;
}

void readRange(const std::uint8_t* data, std::size_t size) {
    if (size < 16)
        return;
    CheckpointTransfer::rangeContinues(FuzzInput::bytes(data + 16, size - 16), integerAt(data),
                                       integerAt(data + 8));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    if (data[0] % 2 != 0) {
        readRange(data + 1, size - 1);
        return 0;
    }
    try {
        ModelHub::commitInAnswer(QJsonDocument::fromJson(FuzzInput::bytes(data + 1, size - 1)),
                                 QStringLiteral("nvidia/model"), QStringLiteral("main"));
    } catch (const ModelDownloadError&) {
    }
    return 0;
}
