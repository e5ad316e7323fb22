// tokenizer.json of a model folder: read, then decoding ids around what it holds.

#include "fuzz/FuzzInput.h"
#include "speech-engine/model-files/Tokenizer.h"

#include <numeric>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QString path =
        FuzzInput::file(QStringLiteral("tokenizer.json"), FuzzInput::bytes(data, size));
    try {
        const Tokenizer tokenizer(path);
        std::vector<std::int64_t> ids(std::size_t(tokenizer.vocab().size()) + 2);
        std::iota(ids.begin(), ids.end(), std::int64_t(-1));
        tokenizer.decode(ids);
    } catch (const std::runtime_error&) {
    }
    return 0;
}
