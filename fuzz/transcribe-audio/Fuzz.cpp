// A sound file for `relayo transcribe`: libsndfile's reading and the converter's downmix and
// resampling give 16 kHz mono samples, or an error that says why.

#include "fuzz/FuzzInput.h"
#include "speech-engine/audio/AudioConverter.h"

#include <stdexcept>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto path = FuzzInput::file(QStringLiteral("input"), FuzzInput::bytes(data, size));
    try {
        AudioConverter().resampleAudioFile(path);
    } catch (const std::runtime_error&) {
    }
    return 0;
}
