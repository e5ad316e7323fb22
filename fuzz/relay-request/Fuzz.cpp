// A request body sent to the relay: any bytes give a request or the refusal to send.

#include "fuzz/FuzzInput.h"
#include "relay/RelayRequest.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    RelayRequest::parse(FuzzInput::bytes(data, size), RelayLimits{});
    return 0;
}
