// ElevenLabs' voice list page: voices or nothing.

#include "app/workflow/records/VoiceListResponse.h"
#include "fuzz/FuzzInput.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    VoiceListResponse::fromJson(FuzzInput::bytes(data, size));
    return 0;
}
