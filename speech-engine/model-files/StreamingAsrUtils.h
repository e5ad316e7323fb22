#pragma once

#include "speech-engine/model-files/Tokenizer.h"

#include <QString>

#include <cstdint>
#include <span>

namespace StreamingAsrUtils {
// Exactly `tokenizer.decode(ids)`.
QString decodeTokens(std::span<const std::int64_t> ids, const Tokenizer& tokenizer);
} // namespace StreamingAsrUtils
