// metadata.json of a model folder: any bytes give a configuration or ASRError /
// std::runtime_error, nothing else.

#include "fuzz/FuzzInput.h"
#include "speech-engine/model-files/NemotronStreamingConfig.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QString path =
        FuzzInput::file(QStringLiteral("metadata.json"), FuzzInput::bytes(data, size));
    try {
        NemotronStreamingConfig::fromFile(path);
    } catch (const std::runtime_error&) {
    }
    return 0;
}
