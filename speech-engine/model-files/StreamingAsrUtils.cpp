#include "speech-engine/model-files/StreamingAsrUtils.h"

QString StreamingAsrUtils::decodeTokens(std::span<const std::int64_t> ids,
                                        const Tokenizer& tokenizer) {
    return tokenizer.decode(ids);
}
