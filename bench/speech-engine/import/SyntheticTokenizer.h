#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A SentencePiece BPE model with exactly the wanted number of pieces, trained on generated
// pseudo-words: benchmarks need a real tokenizer of the published size, not a meaningful one.
namespace SyntheticTokenizer {
// Serialized model; `userSymbols` (language tags like "<ko-KR>") become ids 1, 2, ...
std::string train(int pieces, const std::vector<std::string>& userSymbols = {});
} // namespace SyntheticTokenizer
