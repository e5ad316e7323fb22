// What the Token Factory and the relay answer, successful or not: a text or a ServiceError.

#include "app/core/ServiceError.h"
#include "app/services/network/NebiusAnswer.h"
#include "app/translation/ChatCompletion.h"
#include "fuzz/FuzzInput.h"

namespace {

template <typename Read> void readOrRefuse(Read read) {
    try {
        read();
    } catch (const ServiceError&) {
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QByteArray body = FuzzInput::bytes(data, size);
    NebiusAnswer::tokenFactoryFailure(body, QStringLiteral("key"));
    readOrRefuse([&] { return ChatCompletion::content(body); });
    readOrRefuse([&] { return NebiusAnswer::relayContent(true, body); });
    readOrRefuse([&] { return NebiusAnswer::relayContent(false, body); });
    return 0;
}
