// An ElevenLabs error body: its message or nothing.

#include "app/services/network/ElevenLabsError.h"
#include "fuzz/FuzzInput.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ElevenLabsError::detailIn(FuzzInput::bytes(data, size));
    return 0;
}
