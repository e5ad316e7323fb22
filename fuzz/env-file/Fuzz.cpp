// A developer's .env.local: a key or nothing.

#include "app/translation/EnvFile.h"
#include "fuzz/FuzzInput.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    EnvFile::valueIn(FuzzInput::bytes(data, size), QStringLiteral("NEBIUS_TOKEN_FACTORY_KEY"));
    return 0;
}
