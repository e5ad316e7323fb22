#pragma once

#include <string>
#include <string_view>
#include <vector>

// The pieces of a serialized SentencePiece model, in id order. Throws ModelImportError.
namespace SentencePieceVocabulary {
std::vector<std::string> pieces(std::string_view serializedModel);
}
